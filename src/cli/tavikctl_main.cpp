#include "cli/tavikctl.h"

#include <clocale>
#include <cstring>
#include <iostream>
#include <langinfo.h>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    tavik::TavikctlEnvironment env;
    const char* codeset = nl_langinfo(CODESET);
    env.utf8 = codeset && std::strcmp(codeset, "UTF-8") == 0;
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string path(exe, static_cast<std::size_t>(n));
        env.executableDirectory = path.substr(0, path.find_last_of('/') + 1);
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    int status = tavik::tavikctlMain(args, std::cout, std::cerr, env);
    std::cout.flush();
    return status;
}
