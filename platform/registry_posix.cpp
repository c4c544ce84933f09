#include <cstring>
#include <map>
#include <mutex>

#include "platform/registry.h"
#include "platform/registry_model.h"

namespace {
struct Model {
  std::mutex lock;
  std::map<std::string, std::string> values;
  bool failOpen = false;
  int queries = 0;
};
Model& M() {
  static Model* m = new Model;
  return *m;
}
int kKeyToken = 1;
}  // namespace

RegistryKey OpenSerialCommKey() {
  std::lock_guard<std::mutex> hold(M().lock);
  return M().failOpen ? nullptr : &kKeyToken;
}

int QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer, unsigned long* size) {
  if (!key) return 0;
  std::lock_guard<std::mutex> hold(M().lock);
  ++M().queries;
  auto it = M().values.find(valueName);
  if (it == M().values.end() || it->second.size() > *size) return 0;  // missing, or ERROR_MORE_DATA
  std::memcpy(buffer, it->second.data(), it->second.size());
  *size = static_cast<unsigned long>(it->second.size());
  return 1;
}

void CloseRegistryKey(RegistryKey) {}

void RegistryModelSet(const std::string& valueName, const std::string& data) {
  std::lock_guard<std::mutex> hold(M().lock);
  M().values[valueName] = data;
}

void RegistryModelDelete(const std::string& valueName) {
  std::lock_guard<std::mutex> hold(M().lock);
  M().values.erase(valueName);
}

void RegistryModelFailOpen(bool fail) {
  std::lock_guard<std::mutex> hold(M().lock);
  M().failOpen = fail;
}

int RegistryModelQueries() {
  std::lock_guard<std::mutex> hold(M().lock);
  return M().queries;
}

void RegistryModelReset() {
  std::lock_guard<std::mutex> hold(M().lock);
  M().values.clear();
  M().failOpen = false;
  M().queries = 0;
}
bool SerialRegistryExists() { return false; }
