// Build step: writes the "mime.def" template shipped with the program, from the very table a
// registry falls back on, so the two cannot drift apart.
#include <cstdio>
#include <exception>

#include "profile/file_util.h"
#include "view/mime_manager.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: mime_def_writer PATH\n");
        return 2;
    }
    try {
        // A shipped template is readable by everyone; profiles get private copies of it.
        tavik::writeFileAtomically(argv[1], tavik::encodeMimeFile(tavik::builtInMimeEntries()), 0644);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mime_def_writer: %s\n", e.what());
        return 1;
    }
    return 0;
}
