#include "check/CheckCommand.h"

int main(int argc, char** argv) {
    return CheckCommand(std::vector<std::string>(argv + 1, argv + argc)).execute();
}
