// What became of each selected entry in one extraction run: extracted,
// skipped (with the reason) or failed (with the reason). Readers record one
// outcome per selected entry; the window and archive-probe summarise it when
// the run ends. Folders count like files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

enum class EntryOutcome : uint8_t {
    not_selected, // not asked for in this run
    pending,      // selected, not handled (yet)
    extracted,
    skipped,
    failed,
};

enum class OutcomeReason : uint8_t {
    none,
    // skipped
    unsupported_method,     // detail: the method's text ("LZMA", "Implode", ...)
    format_not_extracted,   // the format can be listed but not extracted; detail: the format's name
    not_overwritten,        // a file of that name exists and "Overwrite Existing Files" is off
    unsafe_name,            // the name leaves the output folder
    link_refused,           // a link whose target leaves the output folder, or a hard link to a member not extracted
    unsupported_encryption, // detail: the scheme ("PKWARE strong encryption", "GOST", ...)
    missing_volume,         // the data continues in a volume that is not there
    special_file,           // a device, FIFO or socket: never created
    cancelled,              // the user cancelled the run before this entry was done
    not_reached,            // the run ended before this entry (for example a refused password)
    // failed
    damaged,                // could not be decoded, or failed its CRC or size check; detail: what failed
    wrong_password,         // no password, or a wrong one
    write_error,            // the file or folder could not be written
    archive_unreadable,     // the archive could no longer be opened or read
};

// Stable key of a reason, as archive-probe prints it ("unsupported-method").
std::string_view outcome_reason_key(OutcomeReason reason);
std::string_view entry_outcome_key(EntryOutcome outcome); // "extracted", "skipped", "failed"

class ExtractionReport {
public:
    struct Group {
        EntryOutcome outcome;
        OutcomeReason reason;
        std::string detail;
        int64_t count;
    };

    // Starts a run over entries 1..entry_count; every entry is not selected.
    void begin(int32_t entry_count);
    // Marks entry k (1-based) as asked for.
    void select(int32_t entry);
    // Sets what became of entry k; a later call for the same entry replaces
    // an earlier one, except that a failure or skip is never replaced by
    // "extracted".
    void record(int32_t entry, EntryOutcome outcome, OutcomeReason reason = OutcomeReason::none,
                std::string_view detail = {});
    void extracted(int32_t entry) { record(entry, EntryOutcome::extracted); }
    void skipped(int32_t entry, OutcomeReason reason, std::string_view detail = {})
    {
        record(entry, EntryOutcome::skipped, reason, detail);
    }
    void failed(int32_t entry, OutcomeReason reason, std::string_view detail = {})
    {
        record(entry, EntryOutcome::failed, reason, detail);
    }
    // Every selected entry still pending gets this outcome (the end of a
    // cancelled or stopped run).
    void settle_pending(EntryOutcome outcome, OutcomeReason reason);

    EntryOutcome outcome(int32_t entry) const;
    OutcomeReason reason(int32_t entry) const;
    int32_t entry_count() const { return static_cast<int32_t>(entries_.size()); }
    int64_t count(EntryOutcome outcome) const;
    int64_t selected_count() const;
    // True when every selected entry was extracted (also for a run that
    // selected nothing).
    bool all_extracted() const;
    // Skipped and failed entries grouped by outcome, reason and detail, in
    // the order of their first entry.
    std::vector<Group> groups() const;

private:
    struct Slot {
        EntryOutcome outcome = EntryOutcome::not_selected;
        OutcomeReason reason = OutcomeReason::none;
        uint32_t detail = 0; // index into details_; 0 = none
    };
    uint32_t detail_index(std::string_view detail);

    std::vector<Slot> entries_; // entry k at index k - 1
    std::vector<std::string> details_{std::string()};
};

} // namespace velmora
