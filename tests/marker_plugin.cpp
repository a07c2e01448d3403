// Stands for a shared library of an attacker's choice: loading it writes the
// file named by TESMOR_MARKER_FILE, so a test can tell whether it was loaded.
#include <cstdio>
#include <cstdlib>

namespace {

[[gnu::constructor]] void markLoaded()
{
    if (const char *path = std::getenv("TESMOR_MARKER_FILE")) {
        if (std::FILE *f = std::fopen(path, "w")) {
            std::fputs("loaded\n", f);
            std::fclose(f);
        }
    }
}

} // namespace
