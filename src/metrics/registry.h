// The metrics page's registry. Every owner of figures (the relay, the logic links, the
// listeners, the log, admission, authentication, the transports) registers its own
// families here: a name, a type, help text and a callback that writes the samples, as
// counters are read where they are kept. A scrape renders every family in the order of
// registration, in the Prometheus text exposition format (version 0.0.4). Knows nothing
// of who registers. Loop thread only.
#ifndef HALL_METRICS_REGISTRY_H
#define HALL_METRICS_REGISTRY_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace hall_metrics {

// The text of one scrape, built family by family.
class CExposition {
 public:
  // The HELP and TYPE lines of a family; its samples follow.
  void family(const char* name, const char* type, const char* help);
  // One sample line; `labels` without the braces, empty for none.
  void sample(const char* name, const std::string& labels, const std::string& value);
  void sample(const char* name, const std::string& labels, long long value) {
    sample(name, labels, std::to_string(value));
  }
  void sample(const char* name, const std::string& labels, unsigned long long value) {
    sample(name, labels, std::to_string(value));
  }
  // A family of one unlabelled sample.
  template <typename T>
  void one(const char* name, const char* type, const char* help, T value) {
    family(name, type, help);
    sample(name, "", value);
  }

  const std::string& text() const { return _text; }

 private:
  std::string _text;
};

// Writes the sample lines of one family (its HELP and TYPE lines are written before).
typedef std::function<void(CExposition&)> TSampleWriter;
// Writes whole families itself: for figures that are left out when the system cannot
// tell them (the process's memory, descriptors, CPU time).
typedef std::function<void(CExposition&)> TFamilyWriter;

class CMetricsRegistry {
 public:
  // A family with its samples written by `samples` at each scrape.
  static void add(const char* name, const char* type, const char* help, TSampleWriter samples);
  // A family of one unlabelled sample read from `counter` at each scrape.
  static void add_counter(const char* name, const char* help, const uint64_t* counter);
  // A family of one unlabelled gauge read through `value` at each scrape.
  static void add_gauge(const char* name, const char* help, std::function<long long()> value);
  // Families that `writer` writes whole, HELP and TYPE lines included.
  static void add_families(TFamilyWriter writer);

  // Every registered family, in the order of registration.
  static std::string render();
  // Forgets every registration (a gateway that opens its loop again registers anew).
  static void clear();

 private:
  struct TEntry {
    std::string name;
    std::string type;
    std::string help;
    TSampleWriter samples;  // null for a TFamilyWriter
    TFamilyWriter families;
  };
  static std::vector<TEntry>& entries();
};

// A label value with backslash, double quote and line feed escaped.
std::string label_value(const char* raw);

}  // namespace hall_metrics

#endif
