#include "connection.h"

#include "tcp_transport.h"

#include <algorithm>

namespace sendwick {

namespace {

constexpr std::size_t kReadPiece = 32;

} // namespace

Outcome Connection::Open(const Endpoint& endpoint, std::chrono::milliseconds timeout,
                         const TransportWrapper& wrap)
{
    Close();
    Outcome outcome;
    std::unique_ptr<Transport> tcp = TcpTransport::Connect(endpoint, timeout, outcome);
    if (tcp && wrap)
        tcp = wrap(std::move(tcp));
    transport_ = std::move(tcp);
    return outcome;
}

void Connection::Close()
{
    transport_.reset();
    pending_.clear();
}

bool Connection::Send(std::string_view bytes, std::chrono::milliseconds stallTimeout,
                      Transport::Deadline deadline)
{
    return transport_ && transport_->Write(bytes, stallTimeout, deadline).ok();
}

Reply Connection::ReadReply(Transport::Deadline deadline)
{
    Reply reply;
    for (;;) {
        if (std::size_t length = CompleteReplyLength(pending_); length > 0) {
            reply.status = ReplyStatus::Complete;
            reply.text = pending_.substr(0, length);
            reply.code = CompleteReplyCode(reply.text);
            pending_.erase(0, length);
            return reply;
        }
        if (pending_.size() > kMaxReplyBytes) {
            reply.status = ReplyStatus::TooLong;
            break;
        }
        Transport::ReadStatus status = transport_
                                           ? transport_->ReadSome(pending_, kReadPiece, deadline)
                                           : Transport::ReadStatus::Closed;
        if (status == Transport::ReadStatus::TimedOut) {
            reply.status = ReplyStatus::TimedOut;
            break;
        }
        if (status == Transport::ReadStatus::Closed) {
            reply.status = ReplyStatus::Closed;
            break;
        }
    }
    reply.text = std::move(pending_);
    pending_.clear();
    return reply;
}

bool Connection::HasUnreadBytes() const
{
    return !pending_.empty() || (transport_ && transport_->Buffered() > 0);
}

TlsStart Connection::StartTls(const std::string& host, Transport::Deadline deadline)
{
    if (!transport_)
        return {nullptr, Outcome::Failure(Outcome::Code::Network, "not connected"), {}, {}};
    pending_.clear();
    TlsStart start = transport_->StartTls(host, deadline);
    transport_ = std::move(start.transport);
    return start;
}

Reply SendCommand(Connection& connection, std::string_view command,
                  std::chrono::milliseconds timeout, std::chrono::milliseconds sendStallTimeout,
                  Transport::Deadline limit)
{
    if (!command.empty())
        connection.Send(command, sendStallTimeout, limit);
    return connection.ReadReply(std::min(std::chrono::steady_clock::now() + timeout, limit));
}

} // namespace sendwick
