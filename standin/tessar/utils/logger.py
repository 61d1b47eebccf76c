import logbook

DATETIME_FORMAT = "%Y-%m-%d %H:%M:%S"

user_log = logbook.Logger("user_log")
user_system_log = logbook.Logger("user_system_log")
