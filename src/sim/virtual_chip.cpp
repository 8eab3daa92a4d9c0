// Virtual chip: placeholder until it lands.
