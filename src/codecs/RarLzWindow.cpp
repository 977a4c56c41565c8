// Window allocation and growth for the RAR LZ decoders; see RarLzWindow.h.
#include "codecs/RarLzWindow.h"

#include <algorithm>
#include <new>

namespace velmora {

bool RarLzWindow::prepare(size_t history, bool keep)
{
    // Small windows are rounded up so that a run of tiny entries does not
    // reallocate for each one.
    history = std::max<size_t>(history, 64 * 1024);
    if (buf_ && capacity_ >= history) {
        if (!keep)
            reset();
        return true;
    }
    const size_t new_size = history + guard;
    std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[new_size + guard]);
    if (!fresh)
        return false;

    size_t kept = 0;
    if (keep && buf_) {
        // Everything was handed out (pos_ == flushed_, below size_). The
        // history ends at pos_ and wraps back from size_ for the rest.
        kept = std::min(filled_, capacity_);
        if (kept <= pos_) {
            std::memcpy(fresh.get(), buf_.get() + pos_ - kept, kept);
        } else {
            const size_t older = kept - pos_;
            std::memcpy(fresh.get(), buf_.get() + size_ - older, older);
            std::memcpy(fresh.get() + older, buf_.get(), pos_);
        }
    }
    buf_ = std::move(fresh);
    capacity_ = history;
    size_ = new_size;
    pos_ = kept;
    flushed_ = kept;
    filled_ = kept;
    return true;
}

} // namespace velmora
