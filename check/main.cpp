#include "check/CheckCommand.h"
#include "cli/Messages.h"

int main(int argc, char** argv) {
    setUpMessages();
    return CheckCommand(std::vector<std::string>(argv + 1, argv + argc)).execute();
}
