#include "service/resources.h"

#include <cctype>
#include <cmath>

namespace pelmora::service {

std::optional<std::uint64_t> parse_memory(const std::string& text) {
  std::size_t i = 0;
  double whole = 0;
  bool digits = false;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    whole = whole * 10 + (text[i] - '0');
    digits = true;
    ++i;
    if (whole > 1e30) return std::nullopt;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    double scale = 0.1;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      whole += (text[i] - '0') * scale;
      scale /= 10;
      digits = true;
      ++i;
    }
  }
  if (!digits) return std::nullopt;
  std::string unit;
  for (; i < text.size(); ++i) unit.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(text[i]))));
  if (!unit.empty() && unit.back() == 'b') unit.pop_back();
  double factor = 1;
  if (unit.empty()) {
    factor = 1;
  } else if (unit.size() <= 2) {
    int power;
    switch (unit[0]) {
      case 'k': power = 1; break;
      case 'm': power = 2; break;
      case 'g': power = 3; break;
      case 't': power = 4; break;
      default: return std::nullopt;
    }
    if (unit.size() == 2 && unit[1] != 'i') return std::nullopt;
    factor = std::pow(unit.size() == 2 ? 1024.0 : 1000.0, power);
  } else {
    return std::nullopt;
  }
  double bytes = std::floor(whole * factor);
  if (bytes < 1 || bytes > 4611686018427387904.0) return std::nullopt;
  return static_cast<std::uint64_t>(bytes);
}

std::optional<std::string> check_resources(const nlohmann::json& resources) {
  if (!resources.is_object()) return "\"resources\" must be an object";
  for (const auto& [name, value] : resources.items()) {
    if (name != "gpu" && name != "cpu" && name != "memory") {
      return "\"resources\" may hold only \"gpu\", \"cpu\" and \"memory\"";
    }
  }
  if (resources.contains("gpu") &&
      (!resources["gpu"].is_string() || resources["gpu"].get_ref<const std::string&>().size() > kMaxGpuText)) {
    return "\"resources.gpu\" must be a string of at most " + std::to_string(kMaxGpuText) + " bytes";
  }
  if (resources.contains("cpu")) {
    const auto& cpu = resources["cpu"];
    if (!cpu.is_number_integer() || cpu.get<long long>() < 0 || cpu.get<long long>() > 4096) {
      return "\"resources.cpu\" must be an integer from 0 to 4096";
    }
  }
  if (resources.contains("memory")) {
    const auto& memory = resources["memory"];
    if (!memory.is_string() || !parse_memory(memory.get<std::string>())) {
      return "\"resources.memory\" must be an amount such as \"512Mi\" or \"4G\"";
    }
  }
  return std::nullopt;
}

double job_cost(const nlohmann::json& resources) {
  if (resources.is_object() && resources.contains("cpu") && resources["cpu"].is_number_integer()) {
    auto cpu = resources["cpu"].get<long long>();
    if (cpu > 1) return static_cast<double>(cpu);
  }
  return 1.0;
}

}  // namespace pelmora::service
