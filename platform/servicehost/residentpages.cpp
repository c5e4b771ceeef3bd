#include "residentpages.h"

#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <vector>

namespace ResidentPages {
namespace {

struct Mapping
{
    unsigned long start = 0;
    unsigned long end = 0;
    bool candidate = false;
    bool privateCopies = true; // until smaps says "Anonymous: 0 kB"
    bool locked = false;
};

// "start-end perms offset dev inode [path]"; false for the lines that follow.
bool parseHeader(const char *line, Mapping *m)
{
    unsigned long start = 0, end = 0;
    char perms[8] = {};
    char path[512] = {};
    const int got = std::sscanf(line, "%lx-%lx %7s %*s %*s %*s %511s", &start, &end, perms, path);
    if (got < 3 || std::strlen(perms) != 4)
        return false;
    *m = Mapping();
    m->start = start;
    m->end = end;
    // A regular file, mapped private and never writable. Devices and memory
    // files are left alone whatever they claim.
    m->candidate = got == 4 && path[0] == '/' && std::strncmp(path, "/dev/", 5) != 0 &&
                   std::strncmp(path, "/memfd:", 7) != 0 && perms[1] != 'w' && perms[3] == 'p';
    return true;
}

bool droppable(const Mapping &m)
{
    return m.candidate && !m.privateCopies && !m.locked && m.end > m.start;
}

} // namespace

Dropped dropUnmodifiedFilePages(const char *smapsPath)
{
    Dropped result;
    FILE *f = std::fopen(smapsPath, "re");
    if (!f)
        return result;
    // Collected first and dropped after the file is closed: reading smaps
    // while changing the mappings it describes would be asking for trouble.
    std::vector<Mapping> drop;
    Mapping current;
    bool have = false;
    char line[1024];
    // Bounded: a process has at most vm.max_map_count mappings, each a few
    // dozen lines.
    for (int lines = 0; lines < 4000000 && std::fgets(line, sizeof line, f); ++lines) {
        Mapping next;
        if (parseHeader(line, &next)) {
            if (have && droppable(current))
                drop.push_back(current);
            current = next;
            have = true;
            continue;
        }
        long kb = 0;
        if (std::sscanf(line, "Anonymous: %ld kB", &kb) == 1)
            current.privateCopies = kb != 0;
        else if (std::strncmp(line, "VmFlags:", 8) == 0)
            current.locked = std::strstr(line, " lo") != nullptr;
    }
    if (have && droppable(current))
        drop.push_back(current);
    std::fclose(f);
    for (const Mapping &m : drop)
        if (madvise(reinterpret_cast<void *>(m.start), m.end - m.start, MADV_DONTNEED) == 0) {
            ++result.mappings;
            result.bytes += qint64(m.end - m.start);
        }
    result.ok = true;
    return result;
}

} // namespace ResidentPages
