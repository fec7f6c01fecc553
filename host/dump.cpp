#include "dump.h"

#include "history.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

namespace zel::host {

namespace fs = std::filesystem;

bool writeDump(const world::world& w, const std::string& file, std::ostream& err,
               editHistory* history) {
    std::string text;
    try {
        nlohmann::json d = w.dump();
        if (history)
            d["steps"] = {{"undo", history->undoCount()}, {"redo", history->redoCount()}};
        text = d.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        text += '\n';
    } catch (const std::exception& e) {
        err << "zelhost: cannot write dump " << file << ": " << e.what() << "\n";
        return false;
    }
    std::error_code ec;
    if (fs::is_directory(fs::path(file), ec)) {
        err << "zelhost: cannot write dump " << file << ": it is a folder\n";
        return false;
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        err << "zelhost: cannot write dump " << file << ": " << std::strerror(errno) << "\n";
        return false;
    }
    out << text;
    out.close();
    if (!out) {
        err << "zelhost: cannot write dump " << file << ": write failed\n";
        return false;
    }
    return true;
}

} // namespace zel::host
