// One repair pass: force the CCID driver package onto every reader that needs it.
#pragma once

// Reports everything it does to the log and nothing to the caller. Passes may overlap.
void ApplyCcidDriverFix();
