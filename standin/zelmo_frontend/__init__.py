"""Stand-ins for the desktop front end: its database schema and its feed service.

Test and demo infrastructure only; the mod writes to both.
"""
from .schema import create_schema
from .feed_service import FeedService

__all__ = ["create_schema", "FeedService"]
