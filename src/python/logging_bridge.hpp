// The log facade's one sink: hands each record to the Python logger named after its target.
#pragma once

namespace kx::py {

// Imports `logging`, registers the bridge as the facade's sink and sets the maximum level to
// Debug. Faults ("Failed to initialize python logging: ...", or a second installation).
void install_logging_bridge();

}  // namespace kx::py
