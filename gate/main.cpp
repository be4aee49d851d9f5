#include "cli/Messages.h"
#include "gate/GateCommand.h"

int main(int argc, char** argv) {
    setUpMessages();
    return GateCommand(std::vector<std::string>(argv + 1, argv + argc)).execute();
}
