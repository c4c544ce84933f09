// Native builds only: the registry values behind the POSIX registry layer, set by
// tests as the serial driver would.
#pragma once
#include <string>

void RegistryModelSet(const std::string& valueName, const std::string& data);  // data as stored, bytes
void RegistryModelDelete(const std::string& valueName);
void RegistryModelFailOpen(bool fail);  // the key cannot be opened
int RegistryModelQueries();             // queries made so far
void RegistryModelReset();
