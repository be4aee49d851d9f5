#include "ui/Application.h"
#include "ui/Unit1.h"

int main(int argc, char** argv) {
    return runApplication(argc, argv, FormSettings{});
}
