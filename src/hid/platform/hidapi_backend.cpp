// hidapi (hidraw) backend: placeholder until it lands.
