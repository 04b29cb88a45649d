#pragma once
// Emulated enclosures given by directories, one per physical drive from 0
// on, as the command line's and the host helper's --virtual take them.

#include <string>
#include <vector>

#include "hosts/virtual/VirtualHost.h"

namespace ardenvel::virt {

// False, with a message for the user, at the first directory that does not
// load; at most as many as discovery probes.
bool loadEnclosureSet(VirtualHost& host, const std::vector<std::string>& dirs, std::string& error);

}  // namespace ardenvel::virt
