// placeholder until the repair subsystem lands
