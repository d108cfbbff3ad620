#include "store/run_state.h"

#include "platform/file_io.h"
#include "store/number_text.h"

#include <array>
#include <optional>
#include <string_view>

namespace veltrane {
namespace {

constexpr std::string_view kHeader =
    "# Veltrane: runs that did not finish, cleaned up or finished at the next start.\n"
    "# Written by Veltrane; do not edit.\n";
constexpr std::string_view kPendingKind = "pending";

struct StepName
{
    RunStep step;
    std::string_view name;
};
constexpr std::array<StepName, 5> kStepNames = {{{kStepExport, "export"},
                                                 {kStepMail, "mail"},
                                                 {kStepVerify, "verify"},
                                                 {kStepCompress, "compress"},
                                                 {kStepTransfer, "transfer"}}};

std::string Escape(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (char c : field) {
        switch (c) {
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string Unescape(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        const char c = field[++i];
        out += c == 't' ? '\t' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
    }
    return out;
}

std::vector<std::string_view> SplitTabs(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab - at));
        if (tab == std::string_view::npos)
            return fields;
        at = tab + 1;
    }
}

std::string StepsText(unsigned steps)
{
    std::string text;
    for (const StepName& s : kStepNames)
        if ((steps & s.step) != 0) {
            if (!text.empty())
                text += ',';
            text += s.name;
        }
    return text;
}

unsigned ParseSteps(std::string_view text)
{
    unsigned steps = 0;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view word = text.substr(0, comma);
        for (const StepName& s : kStepNames)
            if (word == s.name)
                steps |= s.step;
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return steps;
}

} // namespace

std::string FormatRunState(const RunState& state)
{
    std::string text(kHeader);
    for (const PendingRun& run : state.pending) {
        text += kPendingKind;
        for (const std::string& field :
             {std::to_string(run.itemNo), Escape(run.service), Escape(run.user),
              Escape(run.backUpFolder), Escape(run.runStamp), Escape(run.filePrefix),
              Escape(run.fileStamp), StepsText(run.steps)}) {
            text += '\t';
            text += field;
        }
        text += '\n';
    }
    return text;
}

RunState ParseRunState(std::string_view text)
{
    RunState state;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        const std::vector<std::string_view> fields = SplitTabs(line);
        if (fields.size() != 9 || fields[0] != kPendingKind)
            continue;
        const std::optional<std::int32_t> itemNo = LeadingInt32(fields[1]);
        PendingRun run;
        run.itemNo = itemNo.value_or(0);
        run.service = Unescape(fields[2]);
        run.user = Unescape(fields[3]);
        run.backUpFolder = Unescape(fields[4]);
        run.runStamp = Unescape(fields[5]);
        run.filePrefix = Unescape(fields[6]);
        run.fileStamp = Unescape(fields[7]);
        run.steps = ParseSteps(fields[8]);
        if (run.steps != 0 && !run.filePrefix.empty() && !run.fileStamp.empty())
            state.pending.push_back(std::move(run));
    }
    return state;
}

bool LoadRunState(const std::string& path, RunState& state, std::string& error)
{
    std::string text;
    bool missing = false;
    state = RunState{};
    if (!ReadWholeFile(path, text, missing, error))
        return missing;
    state = ParseRunState(text);
    return true;
}

bool SaveRunState(const std::string& path, const RunState& state, std::string& error)
{
    return WriteFileAtomically(path, FormatRunState(state), 0640, error);
}

} // namespace veltrane
