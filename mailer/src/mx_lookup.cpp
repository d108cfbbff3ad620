#include "mx_lookup.h"

#include <algorithm>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <vector>

namespace sendwick {

namespace {

constexpr std::uint16_t kTypeMx = 15;
constexpr std::uint16_t kClassIn = 1;
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kMaxNameLength = 255;

// Reads a DNS message front to back; every read is checked against its end.
class MessageReader
{
public:
    MessageReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t position() const { return pos_; }
    bool Seek(std::size_t pos)
    {
        if (pos > size_)
            return false;
        pos_ = pos;
        return true;
    }
    bool Skip(std::size_t n) { return n <= size_ - pos_ && Seek(pos_ + n); }
    bool U16(std::uint16_t& value)
    {
        if (size_ - pos_ < 2)
            return false;
        value = static_cast<std::uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
        pos_ += 2;
        return true;
    }

    // Reads a possibly compressed name (RFC 1035 4.1.4) and leaves the
    // position after it. Pointers must go backwards, which also rules out
    // loops.
    bool Name(std::string& name)
    {
        name.clear();
        std::size_t pos = pos_;
        std::size_t resumeAt = 0;
        std::size_t lowestTarget = pos;
        for (;;) {
            if (pos >= size_)
                return false;
            std::uint8_t length = data_[pos];
            if ((length & 0xC0) == 0xC0) {
                if (pos + 1 >= size_)
                    return false;
                std::size_t target = (length & 0x3F) << 8 | data_[pos + 1];
                if (target >= lowestTarget)
                    return false;
                if (resumeAt == 0)
                    resumeAt = pos + 2;
                lowestTarget = target;
                pos = target;
                continue;
            }
            if ((length & 0xC0) != 0)
                return false;
            if (length == 0) {
                pos_ = resumeAt != 0 ? resumeAt : pos + 1;
                return true;
            }
            if (length > size_ - pos - 1)
                return false;
            if (!name.empty())
                name.push_back('.');
            for (std::size_t i = 0; i < length; ++i) {
                auto c = static_cast<char>(data_[pos + 1 + i]);
                // A host name with a dot or control byte inside a label is
                // not one we would connect to.
                if (c == '.' || static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
                    return false;
                name.push_back(c);
            }
            if (name.size() > kMaxNameLength)
                return false;
            pos += 1 + length;
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

} // namespace

std::optional<std::vector<MxRecord>> ParseMxRecords(const std::uint8_t* message, std::size_t size)
{
    if (message == nullptr || size < kHeaderSize)
        return std::nullopt;
    MessageReader reader(message, size);
    std::uint16_t id = 0, flags = 0, questions = 0, answers = 0;
    if (!reader.U16(id) || !reader.U16(flags) || !reader.U16(questions) || !reader.U16(answers) ||
        !reader.Skip(4))
        return std::nullopt;
    if ((flags & 0x000F) != 0)
        return std::nullopt;
    std::string name;
    for (unsigned i = 0; i < questions; ++i) {
        if (!reader.Name(name) || !reader.Skip(4))
            return std::nullopt;
    }
    std::vector<MxRecord> records;
    for (unsigned i = 0; i < answers; ++i) {
        std::uint16_t type = 0, cls = 0, dataLength = 0;
        if (!reader.Name(name) || !reader.U16(type) || !reader.U16(cls) || !reader.Skip(4) ||
            !reader.U16(dataLength))
            return std::nullopt;
        const std::size_t dataStart = reader.position();
        if (!reader.Skip(dataLength))
            return std::nullopt;
        if (type != kTypeMx || cls != kClassIn)
            continue;
        MxRecord record;
        if (!reader.Seek(dataStart) || !reader.U16(record.preference) ||
            !reader.Name(record.exchanger) || reader.position() > dataStart + dataLength ||
            !reader.Seek(dataStart + dataLength))
            return std::nullopt;
        records.push_back(std::move(record));
    }
    return records;
}

std::optional<std::string> ParseFirstMxExchanger(const std::uint8_t* message, std::size_t size)
{
    std::optional<std::vector<MxRecord>> records = ParseMxRecords(message, size);
    if (!records || records->empty() || records->front().exchanger.empty())
        return std::nullopt;
    return records->front().exchanger;
}

MailHosts MailHostsOf(const std::string& domain, std::vector<MxRecord> records,
                      std::mt19937& random)
{
    // RFC 5321 5.1: without MX records the domain is its own exchanger.
    if (records.empty())
        return {{domain}, {}};
    // RFC 7505 3: a domain with a null MX takes no mail at all.
    for (const MxRecord& record : records) {
        if (record.exchanger.empty())
            return {{}, domain + " takes no mail (null MX)"};
    }
    // Equal preferences share the load: shuffled, then sorted stably.
    std::shuffle(records.begin(), records.end(), random);
    std::stable_sort(records.begin(), records.end(), [](const MxRecord& a, const MxRecord& b) {
        return a.preference < b.preference;
    });
    MailHosts found;
    for (MxRecord& record : records)
        found.hosts.push_back(std::move(record.exchanger));
    return found;
}

MailHosts LookUpMailHosts(const std::string& domain)
{
    const std::string failed = "no mail exchanger found for " + domain;
    // A private resolver state, initialised per call: nothing is shared with
    // the host program's resolver, and a changed resolv.conf is honoured.
    struct __res_state state
    {};
    if (res_ninit(&state) != 0)
        return {{}, failed + " (no resolver)"};
    std::vector<std::uint8_t> answer(65536);
    const int length = res_nquery(&state, domain.c_str(), kClassIn, kTypeMx, answer.data(),
                                  static_cast<int>(answer.size()));
    const int error = state.res_h_errno;
    res_nclose(&state);
    if (length <= 0) {
        switch (error) {
        case NO_DATA: // the name exists and has no MX record
            return {{domain}, {}};
        case HOST_NOT_FOUND:
            return {{}, failed + " (no such domain)"};
        case TRY_AGAIN:
            return {{}, failed + " (no answer from the name server)"};
        default:
            return {{}, failed + " (the name server refused the query)"};
        }
    }
    const std::size_t size = std::min(answer.size(), static_cast<std::size_t>(length));
    std::optional<std::vector<MxRecord>> records = ParseMxRecords(answer.data(), size);
    if (!records)
        return {{}, failed + " (unreadable answer)"};
    thread_local std::mt19937 random{std::random_device{}()};
    return MailHostsOf(domain, std::move(*records), random);
}

} // namespace sendwick
