// rtsd, the retransmission server. The process entry (main) belongs to the
// host library, and the program's modules come from the libraries it links:
// each component's static module factory registers with the module
// initializer while its library loads, and the host creates them all in
// priority order once the framework starts. This file holds what the program
// itself defines for the host; it links no code of its own yet.
