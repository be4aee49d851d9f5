#include "gate/EndCause.h"

#include <iterator>

#include "cli/Messages.h"

namespace {

struct EndRow {
    EndCause cause;
    const char* name;
    const char* meaning;  // roff, after the name
};
constexpr EndRow kEnds[] = {
    {EndCause::Closed, "closed", N_("Both sides ended.")},
    {EndCause::Idle, "idle", N_("Nothing moved for\n.BR \\-\\-idle .")},
    {EndCause::Reset, "reset", N_("A side failed; the other is reset too.")},
    {EndCause::Failed, "failed", N_("No proxy made the tunnel;\n.B why=\nlists each one's reason.")},
    {EndCause::NoProxy, "no-proxy", N_("None worked, or none was what the user name asked for.")},
    {EndCause::Refused, "refused", N_("The request was refused; its reason follows.")},
    {EndCause::Timeout, "timeout", N_("No request, or no head of an answer, in time.")},
    {EndCause::Gone, "gone", N_("The client left first.")},
    {EndCause::Lost, "session-lost",
     N_("The proxy of a\n.B \\-strict\nsession failed or rests: its connections are refused until it ends.")},
    {EndCause::Stopped, "stopped", N_("The gate stopped while it was open.")},
    {EndCause::Error, "error", N_("A failure of the gate's own.")},
};
static_assert(std::size(kEnds) == std::size_t(EndCause::Error) + 1, "an end cause has no row");

}  // namespace

std::string_view endName(EndCause cause) {
    return kEnds[std::size_t(cause)].name;
}

std::string endCausesRoff(const std::function<std::string(const char*)>& translated) {
    std::string roff;
    for (const EndRow& row : kEnds) {
        std::string name;
        for (const char* c = row.name; *c; ++c) name += *c == '-' ? std::string("\\-") : std::string(1, *c);
        roff += ".TP\n.B " + name + "\n" + translated(row.meaning) + "\n";
    }
    return roff;
}
