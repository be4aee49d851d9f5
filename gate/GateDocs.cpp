// Writes what kiriha-gate's tables document into the files made from them at build time: its manual's OPTIONS, the
// facts and the end causes, and its bash completion's values, each in place of its mark; and its texts for the
// catalogue.
// Usage: kiriha-gate-docs manual|completion TEMPLATE OUTPUT [PO], or kiriha-gate-docs pot OUTPUT
#include "cli/DocsFacts.h"
#include "gate/EndCause.h"
#include "gate/GateOptions.h"

int main(int argc, char** argv) {
    return writeDocs(argc, argv, gateDescs(), [](std::string& manual, const Translated& translated) {
        return fillMark(manual, ".\\\" END CAUSES FROM THE TABLE\n", endCausesRoff(translated));
    });
}
