#pragma once

namespace dithering {

// Streaming stores are weakly ordered: a pass that made any calls this once
// before its result is handed on (to another thread or the caller).
void finish_streaming() noexcept;

}  // namespace dithering
