// The X display check of the entry point, kept apart from Qt's headers (the
// X library's macros clash with Qt's names).
#pragma once

namespace palaver::shell {

// Whether the X display that DISPLAY names can be opened now.
bool xDisplayOpens();

}  // namespace palaver::shell
