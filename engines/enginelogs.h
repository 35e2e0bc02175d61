#pragma once

namespace snx {

// Sends the engine libraries' load messages (files skipped and why, compiler errors) to the
// service's log. Idempotent; call before the first load.
void routeEngineLogs();

} // namespace snx
