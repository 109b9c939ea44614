#include "util/settings_schema.h"

namespace kelv::util {
namespace {

template <class T>
Json member_json(const T& value) {
  return Json(value);
}

template <class T>
Json member_json(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

Json settings_json(const SettingsValues& values) {
  Json out = Json::object();
  for (const SettingsMember& member : kSettingsMembers) {
    out[member.name] =
        std::visit([&](auto field) { return member_json(values.*field); }, member.field);
  }
  return out;
}

}  // namespace kelv::util
