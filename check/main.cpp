#include "check/CheckCommand.h"

int main(int argc, char** argv) {
    return runCheckCommand(std::vector<std::string>(argv + 1, argv + argc));
}
