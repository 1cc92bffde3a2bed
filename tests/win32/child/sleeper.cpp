// A child for the command runner's Windows tests:
//   sleeper <milliseconds> <marker file> [<file to look at on start>]
// Sleeps, then writes the marker file: empty, or with what the watched file
// held when the child started. Ends with status 3, which nobody reads.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 3) return 1;
    std::string seen;
    if (argc > 3) {
        if (std::FILE* watched = std::fopen(argv[3], "rb")) {
            char chunk[512];
            std::size_t got;
            while ((got = std::fread(chunk, 1, sizeof chunk, watched)) > 0) seen.append(chunk, got);
            std::fclose(watched);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argv[1])));
    if (std::FILE* marker = std::fopen(argv[2], "wb")) {
        std::fwrite(seen.data(), 1, seen.size(), marker);
        std::fclose(marker);
    }
    return 3;
}
