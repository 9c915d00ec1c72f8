// Files for tests: a fresh folder under the build tree, removed at the end, and whole-file
// reading and writing.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef LUMISK_BINARY_DIR
#error "LUMISK_BINARY_DIR must name the build tree"
#endif

class TTempFolder {
public:
    explicit TTempFolder(const std::string& tag) {
        std::string pattern = std::string(LUMISK_BINARY_DIR) + "/test-tmp";
        std::filesystem::create_directories(pattern);
        pattern += "/" + tag + "-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data()))
            throw std::runtime_error("cannot make a folder under " + pattern);
        Path = buffer.data();
    }
    ~TTempFolder() {
        if (Keep)
            return;
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;

    std::string File(const std::string& name) const { return Path + "/" + name; }
    std::string Path;
    bool Keep = false; // left in place for a look after a failure
};

inline std::string ReadFile(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& fileName, const std::string& contents) {
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    out << contents;
}
