#pragma once

// The FTP control connection as libcurl reports it through its debug
// callback: the commands it sends and the reply lines it receives. libcurl
// keeps to itself which command a reply answered, what the server refused
// and whether the session can still be ended politely; Dialogue keeps track
// of all three, so that a failure can be told in the server's own words and
// an upload's leftovers judged by what the server confirmed.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace hoistline {

using Clock = std::chrono::steady_clock;

class Dialogue
{
public:
    void Sent(std::string_view command);
    void Received(std::string_view line);
    void DataConnected()
    {
        waitingForDataSince_.reset();
        dataConnected_ = true;
    }
    // Whether the server ever opened a data connection back to us.
    bool EverDataConnected() const { return dataConnected_; }

    // The verb of the last command that got its final reply ("" for the
    // greeting).
    const std::string& LastVerb() const { return lastVerb_; }
    // The code of the final reply to the last RETR or STOR (0 before one).
    int TransferReplyCode() const { return transferReplyCode_; }
    // The code of the final reply to the last command with this verb (0
    // before one).
    int CodeOf(std::string_view verb) const
    {
        auto found = codes_.find(verb);
        return found == codes_.end() ? 0 : found->second;
    }
    // Whether STOR was sent: from then on the server may hold the file, whole
    // or in part, whatever became of the session.
    bool StoreSent() const { return storeSent_; }
    // The byte count in the server's opening reply to RETR ("150 Opening
    // BINARY mode data connection for a.dmp (1234 bytes)."), if it gave one.
    std::optional<std::int64_t> AnnouncedSize() const { return announcedSize_; }
    // When the server was asked to connect back for data (PORT or EPRT),
    // while it has not done so yet.
    std::optional<Clock::time_point> WaitingForDataSince() const { return waitingForDataSince_; }
    // True when the server greeted us, has answered every command and has
    // not been sent QUIT: the session is in step and can be ended with QUIT.
    bool InStepWithoutQuit() const
    {
        return greetingCode_ / 100 == 2 && awaiting_.empty() && !quitSent_;
    }
    // Whether the server has sent its greeting, whatever it said.
    bool Greeted() const { return greetingCode_ != 0; }
    // The verb of the oldest command (other than QUIT) still waiting for its
    // final reply; "" while the greeting is awaited.
    std::optional<std::string> Awaited() const
    {
        if (awaiting_.empty() || awaiting_.front() == "QUIT")
            return std::nullopt;
        return awaiting_.front();
    }
    // Whether the oldest command still waiting for its final reply has this
    // verb (allocates nothing: for the close-socket callback).
    bool Awaits(std::string_view verb) const noexcept
    {
        return !awaiting_.empty() && awaiting_.front() == verb;
    }

    // A refusing reply (4xx or 5xx) and the verb it answered ("" for the
    // greeting).
    struct Refusal
    {
        std::string verb;
        std::string line;
    };
    // The server's refusal of the last command sent before the session
    // ended, QUIT aside: what stopped the call, in the server's own words.
    // Nothing once a later command was sent: a refusal libcurl ignored
    // ("*MKD") is no reason for the failure.
    const std::optional<Refusal>& LastRefusal() const { return refusal_; }

private:
    void FinalReply(int code, std::string_view line);

    // Verbs of the commands still waiting for their final reply, oldest
    // first; the greeting is waited for like the answer to a command.
    std::deque<std::string> awaiting_{""};
    int multiLineCode_ = 0; // the code of a multi-line reply under way
    int greetingCode_ = 0;
    std::string lastVerb_;
    int transferReplyCode_ = 0;
    std::map<std::string, int, std::less<>> codes_;
    bool storeSent_ = false;
    bool quitSent_ = false;
    bool dataConnected_ = false;
    std::optional<std::int64_t> announcedSize_;
    std::optional<Clock::time_point> waitingForDataSince_;
    std::optional<Refusal> refusal_;
};

} // namespace hoistline
