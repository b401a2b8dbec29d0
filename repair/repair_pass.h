// One repair pass: force the CCID driver package onto every reader that needs it.
#pragma once

// Reports everything it does to the log and nothing to the caller. Passes may overlap. Shows
// no UI and never restarts the machine; a restart that an installation needs is logged.
void ApplyCcidDriverFix();
