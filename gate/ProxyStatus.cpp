#include "gate/ProxyStatus.h"

std::string sfString(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return out + '"';
}

std::string proxyStatus(const std::vector<StatusMember>& members) {
    std::string out;
    for (const StatusMember& m : members) {
        if (!out.empty()) out += ", ";
        out += "kiriha-gate";
        if (!m.error.empty()) out += "; error=" + m.error;
        if (!m.nextHop.empty()) out += "; next-hop=" + sfString(m.nextHop);
        if (!m.details.empty()) out += "; details=" + sfString(m.details);
    }
    return out;
}

std::string_view errorType(Reason reason, bool answering) {
    switch (reason) {
        case Reason::Refused:
            return "connection_refused";
        case Reason::Unreachable:
            return "destination_ip_unroutable";
        case Reason::ProxyName:
        case Reason::TargetName:
            return "dns_error";
        case Reason::ConnectTimeout:
            return "connection_timeout";
        case Reason::IdleTimeout:
        case Reason::TimeLimit:
            return answering ? "http_response_timeout" : "connection_read_timeout";
        case Reason::ProxyDenied:
        case Reason::ProxyAuth:
            return "http_request_denied";
        case Reason::Tls:
            return "tls_protocol_error";
        case Reason::NotAProxy:
            return "http_protocol_error";
        case Reason::Reset:
            return answering ? "http_response_incomplete" : "connection_terminated";
        default:
            break;
    }
    return "proxy_internal_error";
}
