#include "gate/EndCause.h"

#include <iterator>

namespace {

struct EndRow {
    EndCause cause;
    const char* name;
    const char* meaning;  // roff, after the name
};
constexpr EndRow kEnds[] = {
    {EndCause::Closed, "closed", "Both sides ended."},
    {EndCause::Idle, "idle", "Nothing moved for\n.BR \\-\\-idle ."},
    {EndCause::Reset, "reset", "A side failed; the other is reset too."},
    {EndCause::Failed, "failed", "No proxy made the tunnel;\n.B why=\nlists each one's reason."},
    {EndCause::NoProxy, "no-proxy", "None worked, or none was what the user name asked for."},
    {EndCause::Refused, "refused", "The request was refused; its reason follows."},
    {EndCause::Timeout, "timeout", "No request, or no head of an answer, in time."},
    {EndCause::Gone, "gone", "The client left first."},
    {EndCause::Lost, "session-lost",
     "The proxy of a\n.B \\-strict\nsession failed or rests: its connections are refused until it ends."},
    {EndCause::Stopped, "stopped", "The gate stopped while it was open."},
    {EndCause::Error, "error", "A failure of the gate's own."},
};
static_assert(std::size(kEnds) == std::size_t(EndCause::Error) + 1, "an end cause has no row");

}  // namespace

std::string_view endName(EndCause cause) {
    return kEnds[std::size_t(cause)].name;
}

std::string endCausesRoff() {
    std::string roff;
    for (const EndRow& row : kEnds) {
        std::string name;
        for (const char* c = row.name; *c; ++c) name += *c == '-' ? std::string("\\-") : std::string(1, *c);
        roff += ".TP\n.B " + name + "\n" + row.meaning + "\n";
    }
    return roff;
}
