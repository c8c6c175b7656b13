// A file replaced whole, for a line whose length changes.
#pragma once

#ifndef MAGSYNC_RECORDIO_OWN
#error "recordio's own header: outside recordio/, include its interface (unit.h, update.h, group.h, ...)"
#endif

#include <string_view>

#include "recordio/error.h"
#include "recordio/unit.h"
#include "recordio/update.h"

namespace recordio {

// Replaces U's file with a copy whose line LINE holds TEXT in place of its
// first bytes, read as WAS: the rest of a longer line is kept, with its line
// end or none; a line no longer than WAS is TEXT and its old line end (a
// line feed where there was none). The caller holds the file's lock, and
// OPEN is the file's status once opened for writing: the checks of the
// commit compare its times with it.
// Once the new file is in place, what is left is its directory's sync,
// returned pending (with the new file, locked until then), or made at once
// on the filesystem where the directory cannot be read.
Result<Pending> replace(const Unit& u, const LineSpan& line, const struct stat& open, std::string_view was,
                        std::string_view text);

}  // namespace recordio
