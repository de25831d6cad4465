#include "data/bars.hpp"

namespace varnek::data {

void BarSeries::reserve(std::size_t n) {
  ts.reserve(n);
  open.reserve(n);
  high.reserve(n);
  low.reserve(n);
  close.reserve(n);
  volume.reserve(n);
}

void BarSeries::push(std::int64_t t, double o, double h, double l, double c, double v) {
  ts.push_back(t);
  open.push_back(o);
  high.push_back(h);
  low.push_back(l);
  close.push_back(c);
  volume.push_back(v);
}

core::Json to_json(const DatasetManifest& manifest) {
  core::Json j = core::Json::object();
  j["dataset_id"] = manifest.dataset_id;
  j["path"] = manifest.path;
  j["sha256"] = manifest.sha256;
  j["rows"] = manifest.rows;
  j["start"] = manifest.start;
  j["end"] = manifest.end;
  j["timeframe_secs"] = manifest.timeframe_secs;
  j["timezone"] = manifest.timezone;
  return j;
}

}  // namespace varnek::data
