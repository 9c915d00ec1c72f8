// The serial ports this machine has, as the setup dialog lists them.
#pragma once

#include <string>
#include <vector>

// Replaces target's contents with the names of the entries of the tty class folder that have a
// device/driver link (real serial ports, not virtual terminals), sorted ignoring letter case,
// followed by the links of the by-id folder as absolute paths (the names that survive a
// replug), sorted the same way. A port whose "type" reads 0 (a console ttyS* with no UART
// behind it) is left out. When the tty class folder cannot be read, target is left unchanged.
void ListSerialPorts(std::vector<std::string>& target);

// The tty class folder read by ListSerialPorts: "/sys/class/tty" unless a test points it
// elsewhere.
const std::string& SerialPortsRoot();
void SetSerialPortsRoot(const std::string& root);

// The folder of stable port links: "/dev/serial/by-id" unless a test points it elsewhere.
const std::string& SerialByIdRoot();
void SetSerialByIdRoot(const std::string& root);
