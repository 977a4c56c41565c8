// The per-run record of what became of each selected entry.
#include "archive/ExtractionReport.h"

#include <map>
#include <tuple>

namespace velmora {

std::string_view outcome_reason_key(OutcomeReason reason)
{
    switch (reason) {
    case OutcomeReason::none: return "none";
    case OutcomeReason::unsupported_method: return "unsupported-method";
    case OutcomeReason::format_not_extracted: return "format-not-extracted";
    case OutcomeReason::not_overwritten: return "not-overwritten";
    case OutcomeReason::unsafe_name: return "unsafe-name";
    case OutcomeReason::link_refused: return "link-refused";
    case OutcomeReason::unsupported_encryption: return "unsupported-encryption";
    case OutcomeReason::missing_volume: return "missing-volume";
    case OutcomeReason::special_file: return "special-file";
    case OutcomeReason::cancelled: return "cancelled";
    case OutcomeReason::not_reached: return "not-reached";
    case OutcomeReason::damaged: return "damaged";
    case OutcomeReason::wrong_password: return "wrong-password";
    case OutcomeReason::write_error: return "write-error";
    case OutcomeReason::archive_unreadable: return "archive-unreadable";
    }
    return "none";
}

std::string_view entry_outcome_key(EntryOutcome outcome)
{
    switch (outcome) {
    case EntryOutcome::not_selected: return "not-selected";
    case EntryOutcome::pending: return "pending";
    case EntryOutcome::extracted: return "extracted";
    case EntryOutcome::skipped: return "skipped";
    case EntryOutcome::failed: return "failed";
    }
    return "pending";
}

void ExtractionReport::begin(int32_t entry_count)
{
    entries_.assign(entry_count > 0 ? static_cast<size_t>(entry_count) : 0, Slot{});
    details_.assign(1, std::string());
}

void ExtractionReport::select(int32_t entry)
{
    if (entry < 1 || static_cast<size_t>(entry) > entries_.size())
        return;
    entries_[static_cast<size_t>(entry) - 1] = Slot{EntryOutcome::pending, OutcomeReason::none, 0};
}

uint32_t ExtractionReport::detail_index(std::string_view detail)
{
    if (detail.empty())
        return 0;
    for (size_t i = 1; i < details_.size(); ++i)
        if (details_[i] == detail)
            return static_cast<uint32_t>(i);
    details_.emplace_back(detail);
    return static_cast<uint32_t>(details_.size() - 1);
}

void ExtractionReport::record(int32_t entry, EntryOutcome outcome, OutcomeReason reason, std::string_view detail)
{
    if (entry < 1 || static_cast<size_t>(entry) > entries_.size())
        return;
    Slot& s = entries_[static_cast<size_t>(entry) - 1];
    if (outcome == EntryOutcome::extracted && (s.outcome == EntryOutcome::failed || s.outcome == EntryOutcome::skipped))
        return;
    s = Slot{outcome, reason, detail_index(detail)};
}

void ExtractionReport::settle_pending(EntryOutcome outcome, OutcomeReason reason)
{
    for (Slot& s : entries_)
        if (s.outcome == EntryOutcome::pending)
            s = Slot{outcome, reason, 0};
}

EntryOutcome ExtractionReport::outcome(int32_t entry) const
{
    if (entry < 1 || static_cast<size_t>(entry) > entries_.size())
        return EntryOutcome::not_selected;
    return entries_[static_cast<size_t>(entry) - 1].outcome;
}

OutcomeReason ExtractionReport::reason(int32_t entry) const
{
    if (entry < 1 || static_cast<size_t>(entry) > entries_.size())
        return OutcomeReason::none;
    return entries_[static_cast<size_t>(entry) - 1].reason;
}

int64_t ExtractionReport::count(EntryOutcome outcome) const
{
    int64_t n = 0;
    for (const Slot& s : entries_)
        n += s.outcome == outcome ? 1 : 0;
    return n;
}

int64_t ExtractionReport::selected_count() const
{
    return static_cast<int64_t>(entries_.size()) - count(EntryOutcome::not_selected);
}

bool ExtractionReport::all_extracted() const { return count(EntryOutcome::extracted) == selected_count(); }

std::vector<ExtractionReport::Group> ExtractionReport::groups() const
{
    std::vector<Group> out;
    std::map<std::tuple<EntryOutcome, OutcomeReason, uint32_t>, size_t> index;
    for (const Slot& s : entries_) {
        if (s.outcome == EntryOutcome::not_selected || s.outcome == EntryOutcome::extracted)
            continue;
        const auto key = std::make_tuple(s.outcome, s.reason, s.detail);
        const auto it = index.find(key);
        if (it != index.end()) {
            ++out[it->second].count;
            continue;
        }
        index.emplace(key, out.size());
        out.push_back({s.outcome, s.reason, details_[s.detail], 1});
    }
    return out;
}

} // namespace velmora
