// A logbook record's level name and message, read natively.
//
// A log line needs record.level_name and record.message.  Through logbook's
// own properties each costs a Python frame or two per line; while the
// record's class keeps logbook's LogRecord properties (message,
// _format_message, level_name) unreplaced, this reader computes both as
// those properties do, and caches the message in the record's __dict__ as
// logbook does.  Anything it does not reproduce exactly (a replaced
// property, an unknown level, a message that fails to format, a logbook
// without these internals) takes logbook's own property, so every failure is
// logbook's own.
#pragma once

#include <nanobind/nanobind.h>

namespace zelmo {

namespace nb = nanobind;

// Finds logbook's record machinery; at module load, before any reading.
void init_logbook_record_reader();

struct LevelAndMessage {
    nb::object level_name, message;
};

// record.level_name and record.message, as logbook's properties give them.
LevelAndMessage read_logbook_record(nb::handle record);

} // namespace zelmo
