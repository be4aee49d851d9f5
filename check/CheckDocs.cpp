// Writes what kiriha-check's table documents into the files made from it at build time: its manual's OPTIONS and
// facts, and its bash completion's values, each in place of its mark.
// Usage: kiriha-check-docs manual|completion TEMPLATE OUTPUT [PO], or kiriha-check-docs pot OUTPUT
#include "check/CheckOptions.h"
#include "cli/DocsFacts.h"

int main(int argc, char** argv) {
    return writeDocs(argc, argv, checkDescs());
}
