// The serial ports this machine has, as the setup dialog lists them.
#pragma once

#include <string>
#include <vector>

// Replaces target's contents with the names of the entries of the tty class folder that have a
// device/driver link (real serial ports, not virtual terminals), sorted ignoring letter case.
// When the folder cannot be read, target is left unchanged.
void ListSerialPorts(std::vector<std::string>& target);

// The tty class folder read by ListSerialPorts: "/sys/class/tty" unless a test points it
// elsewhere.
const std::string& SerialPortsRoot();
void SetSerialPortsRoot(const std::string& root);
