// A program planted where a search by bare name would find it first: if it
// ever runs, it leaves its command line in C:\e2e-decoy-ran.txt.
#include <cstdio>
#include <windows.h>

int main() {
    if (std::FILE* f = std::fopen("C:\\e2e-decoy-ran.txt", "a")) {
        std::fprintf(f, "%s\n", GetCommandLineA());
        std::fclose(f);
    }
    return 0;
}
