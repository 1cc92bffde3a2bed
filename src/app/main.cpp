#include <string>
#include <vector>

#include "app/entry.h"

// With no arguments (or any the program does not know) one run, whose exit
// status is 0 whatever it gave; the service's arguments: see entry.h.
int main(int argc, char** argv) {
    return programMain(std::vector<std::string>(argv + 1, argv + argc));
}
