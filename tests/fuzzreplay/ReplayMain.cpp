// Feeds every file of the seed folders named on the command line to the fuzz target linked in, in
// name order, so that the seeds run through the target's checks in the normal build. A broken
// property aborts the process after the file's name has been printed. An empty or missing folder
// fails: a replay that reads nothing proves nothing.
#include "FuzzTarget.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: " << argv[0] << " CORPUS_FOLDER...\n";
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        if (error || files.empty()) {
            std::cerr << "no seed files in " << argv[i] << "\n";
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            std::cerr << "replaying " << file.string() << "\n";
            std::ifstream stream(file, std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)),
                                          std::istreambuf_iterator<char>());
            if (!stream.eof() && stream.fail()) {
                std::cerr << "cannot read " << file.string() << "\n";
                return 1;
            }
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size());
        }
        std::cout << files.size() << " seeds of " << argv[i] << " replayed\n";
    }
    return 0;
}
