from .feed_service import main

main()
