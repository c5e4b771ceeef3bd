#pragma once

#include <QByteArray>
#include <QString>

// The line protocol on a running service's control socket. One request line
// per connection, one reply line back:
//   "ping" -> "running <pid>"     "stop" | "pause" | "resume" -> "ok"
//   "command <int>" -> "ok"       anything else -> "error <reason>"
namespace ServiceControlProtocol {

enum class Kind
{
    Invalid,
    Ping,
    Stop,
    Pause,
    Resume,
    Command
};

struct Request
{
    Kind kind = Kind::Invalid;
    int code = 0;  // Command only
    QString error; // Invalid only: why, quoting the input
};

// A request line; trailing "\r\n" or "\n" is ignored. Lines longer than
// MaxLineLength are refused before parsing.
Request parseRequest(const QByteArray &line);
QByteArray formatRequest(Kind kind, int code = 0);

inline constexpr int MaxLineLength = 64;

// "running 1234" -> 1234; anything else -> 0.
qint64 parsePingReply(const QByteArray &line);

} // namespace ServiceControlProtocol
