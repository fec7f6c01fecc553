// zelhost_mutate: runs zelhost on damaged model files and reports what happened.
//
//   zelhost_mutate --zelhost PATH [--per-file N] [--seed S] [--timeout SECONDS] [--max-size BYTES]
//                  [--keep DIR] [FILE|DIR]...
//
// Each input (folders give their .3ds files, any case; default: the corpus and the sample models)
// is damaged N times (bit flips, cuts, extreme values, repeated slices: the import's mutation
// run), copied as archi.3ds into an empty folder, and zelhost is run on that folder with a short
// script that also switches the animation on, plays it and reloads the model. A run counts as
//   a failed read   when zelhost reports that it cannot read archi.3ds (a clean failure),
//   a crash         when it dies of a signal or exits with anything but 0,
//   a hang          when it has not finished within the timeout (it is then killed).
// Crashes and hangs are the faults; the exit status is 1 when there was any. --keep saves the
// files that caused one.

#include <mutations.h>
#include <process.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
namespace mutation = zel::import::mutation;

namespace {

const char* script = "key b\nadvance 0.7\nadvance 2.5\nkey >\nkey b\nkey b\nadvance 100\n";

bool is3ds(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".3ds";
}

enum class outcome { loaded, failedRead, crash, hang };

struct runResult {
    outcome what;
    std::string detail;
};

// zelhost on the folder, its standard streams captured.
runResult runHost(const std::string& zelhost, const fs::path& folder, double timeout) {
    fs::path scriptFile = folder / "run.zel";
    mutation::writeFile(scriptFile, script);
    zel::proc::processOptions spec;
    spec.args = {zelhost, "--models", (folder / "m").string(), "--script", scriptFile.string()};
    spec.timeoutSeconds = timeout;
    const zel::proc::processResult r = zel::proc::runProcess(spec);
    if (r.timedOut)
        return {outcome::hang, "no end after " + std::to_string(timeout) + " s"};
    const std::string& errText = r.err;
    if (r.signal != 0)
        return {outcome::crash, std::string("signal ") + strsignal(r.signal)};
    if (r.exitCode != 0)
        return {outcome::crash,
                "exit " + std::to_string(r.exitCode) + ": " + errText.substr(0, 300)};
    if (r.out.rfind("propPlacer - onStart\n", 0) != 0)
        return {outcome::crash, "the trace does not start as it should"};
    if (errText.find("cannot read archi.3ds") != std::string::npos)
        return {outcome::failedRead, {}};
    return {outcome::loaded, {}};
}

void usage() {
    std::cerr
        << "usage: zelhost_mutate --zelhost PATH [--per-file N] [--seed S] [--timeout SECONDS]"
           " [--max-size BYTES] [--keep DIR] [FILE|DIR]...\n";
}

} // namespace

int main(int argc, char** argv) {
    std::string zelhost;
    int perFile = 50;
    std::uint64_t seed = 1;
    double timeout = 30.0;
    std::uintmax_t maxSize = 2u << 20;
    fs::path keep;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--zelhost")
            zelhost = value();
        else if (a == "--per-file")
            perFile = std::atoi(value().c_str());
        else if (a == "--seed")
            seed = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--timeout")
            timeout = std::atof(value().c_str());
        else if (a == "--max-size")
            maxSize = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--keep")
            keep = value();
        else if (!a.empty() && a[0] == '-') {
            usage();
            return 2;
        } else
            paths.push_back(a);
    }
    if (zelhost.empty() || perFile < 1 || timeout <= 0) {
        usage();
        return 2;
    }
    if (paths.empty())
        paths = {ZEL_CORPUS_DIR, ZEL_SAMPLE_MODELS_DIR};

    std::vector<fs::path> inputs;
    for (const std::string& p : paths) {
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            for (const auto& e : fs::recursive_directory_iterator(p, ec))
                if (e.is_regular_file() && is3ds(e.path()) && e.file_size() <= maxSize)
                    inputs.push_back(e.path());
        } else if (fs::is_regular_file(p, ec)) {
            inputs.push_back(p);
        } else {
            std::cerr << "zelhost_mutate: no such file or folder: " << p << "\n";
            return 2;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::cerr << "zelhost_mutate: no .3ds files to damage\n";
        return 2;
    }
    if (!keep.empty())
        fs::create_directories(keep);

    fs::path work = fs::temp_directory_path() / ("zelhost_mutate_" + std::to_string(::getpid()));
    fs::create_directories(work / "m");
    long tried = 0, loaded = 0, failedReads = 0, crashes = 0, hangs = 0;
    double slowest = 0;
    auto start = std::chrono::steady_clock::now();
    for (const fs::path& input : inputs) {
        const std::string original = mutation::readFile(input);
        for (int k = 0; k < perFile; ++k) {
            std::uint64_t s =
                seed * 1000003u + std::hash<std::string>{}(input.filename().string()) + k;
            std::string damaged = mutation::mutate(original, s);
            mutation::writeFile(work / "m" / "archi.3ds", damaged);
            auto t0 = std::chrono::steady_clock::now();
            runResult r = runHost(zelhost, work, timeout);
            slowest = std::max(
                slowest,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            ++tried;
            switch (r.what) {
            case outcome::loaded:
                ++loaded;
                break;
            case outcome::failedRead:
                ++failedReads;
                break;
            case outcome::crash:
            case outcome::hang:
                ++(r.what == outcome::crash ? crashes : hangs);
                std::cerr << (r.what == outcome::crash ? "CRASH " : "HANG ") << input.string()
                          << " mutation " << k << ": " << r.detail << "\n";
                if (!keep.empty())
                    mutation::writeFile(
                        keep / (input.filename().string() + "." + std::to_string(k)), damaged);
                break;
            }
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::error_code ec;
    fs::remove_all(work, ec);
    std::printf("originals: %zu, mutated files tried: %ld\n", inputs.size(), tried);
    std::printf("loaded: %ld, failed reads (clean): %ld, crashes: %ld, hangs: %ld\n", loaded,
                failedReads, crashes, hangs);
    std::printf("time: %.1f s in all, %.3f s a run on average, slowest run %.2f s\n", seconds,
                seconds / static_cast<double>(tried), slowest);
    return crashes + hangs == 0 ? 0 : 1;
}
