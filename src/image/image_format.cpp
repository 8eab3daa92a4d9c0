// Image format: placeholder until it lands.
