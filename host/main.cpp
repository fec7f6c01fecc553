// zelhost: loads zel packages, makes and drives their applications, runs event scripts.
#include "options.h"
#include "run.h"

#include <zel/import/disk_cache.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // The console stays synchronised with C stdio: the packages' wide trace goes through
    // std::cout's buffer and would vanish otherwise.
    zel::import::startCrypto();
    std::vector<std::string> args(argv, argv + argc);
    zel::host::parsedCommandLine parsed = zel::host::parseCommandLine(args);
    int exitCode = parsed.exitCode;
    if (parsed.run) {
        exitCode = zel::host::runHost(parsed.options, std::cin, std::cerr);
    } else {
        std::cout << parsed.out;
        std::cerr << parsed.err;
    }
    std::wcout.flush();
    std::cout.flush();
    std::fflush(nullptr);
    return exitCode;
}
