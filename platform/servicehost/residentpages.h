#pragma once

#include <QtGlobal>

// Linux: gives back the pages of shared libraries and of the program that
// start-up touched and an idle service does not touch again (settings
// parsing, plug-in loading, the dynamic linker's walk through every
// library's symbol tables). Only read-only private file mappings that hold no
// private copy of any page are dropped: their pages are exactly the file's,
// so a later access reads them back from the page cache unchanged.
// Relocated read-only data (which holds private copies) and every writable or
// anonymous mapping stay as they are.
namespace ResidentPages {

struct Dropped
{
    int mappings = 0;
    qint64 bytes = 0; // the size of the ranges, not only their resident part
    bool ok = false;  // false when /proc/self/smaps could not be read
};

// smapsPath: where the process's mappings are described (tests only).
Dropped dropUnmodifiedFilePages(const char *smapsPath = "/proc/self/smaps");

} // namespace ResidentPages
