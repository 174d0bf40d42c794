#include "metrics/registry.h"

namespace hall_metrics {

void CExposition::family(const char* name, const char* type, const char* help) {
  _text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void CExposition::sample(const char* name, const std::string& labels, const std::string& value) {
  _text += name;
  if (!labels.empty()) _text += "{" + labels + "}";
  _text += " " + value + "\n";
}

std::vector<CMetricsRegistry::TEntry>& CMetricsRegistry::entries() {
  static std::vector<TEntry> all;
  return all;
}

void CMetricsRegistry::add(const char* name, const char* type, const char* help, TSampleWriter samples) {
  entries().push_back(TEntry{name, type, help, std::move(samples), nullptr});
}

void CMetricsRegistry::add_counter(const char* name, const char* help, const uint64_t* counter) {
  const char* sample_name = name;
  add(name, "counter", help,
      [sample_name, counter](CExposition& e) { e.sample(sample_name, "", static_cast<unsigned long long>(*counter)); });
}

void CMetricsRegistry::add_gauge(const char* name, const char* help, std::function<long long()> value) {
  const char* sample_name = name;
  add(name, "gauge", help, [sample_name, value](CExposition& e) { e.sample(sample_name, "", value()); });
}

void CMetricsRegistry::add_families(TFamilyWriter writer) {
  entries().push_back(TEntry{"", "", "", nullptr, std::move(writer)});
}

std::string CMetricsRegistry::render() {
  CExposition e;
  for (const TEntry& entry : entries()) {
    if (entry.families) {
      entry.families(e);
      continue;
    }
    e.family(entry.name.c_str(), entry.type.c_str(), entry.help.c_str());
    entry.samples(e);
  }
  return e.text();
}

void CMetricsRegistry::clear() { entries().clear(); }

std::string label_value(const char* raw) {
  std::string out;
  for (const char* p = raw; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '"') out += '\\';
    if (*p == '\n') {
      out += "\\n";
      continue;
    }
    out += *p;
  }
  return out;
}

}  // namespace hall_metrics
