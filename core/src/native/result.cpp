#include "ozu/native/result.hpp"

namespace ozu::native {

std::string_view kind_name(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::Timeout: return "timeout";
        case ErrorKind::ErrorAnswer: return "error answer";
        case ErrorKind::InvalidAnswer: return "invalid answer";
        case ErrorKind::LinkFailure: return "link failure";
        case ErrorKind::InvalidArgument: return "invalid argument";
    }
    return "error";
}

std::string printable(std::string_view frame) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(frame.size() + 2);
    for (char ch : frame) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else if (c >= 0x20 && c < 0x7F) out.push_back(ch);
        else {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

Error link_failure(const serial::Port& port, std::string_view what, const serial::IoError& err) {
    std::string message = port.name();
    message += ": ";
    message += what;
    if (!err.message.empty()) {
        message += ": ";
        message += err.message;
    }
    return Error::make(ErrorKind::LinkFailure, std::move(message));
}

Result<std::unique_ptr<serial::Port>> open(const serial::Settings& settings) {
    serial::IoError err;
    std::unique_ptr<serial::Port> port = serial::open_port(settings, err);
    if (!port) {
        std::string message = settings.port + ": cannot open";
        if (!err.message.empty()) message += ": " + err.message;
        return Error::make(ErrorKind::LinkFailure, std::move(message));
    }
    return port;
}

}  // namespace ozu::native
