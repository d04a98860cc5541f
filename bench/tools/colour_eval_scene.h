// colour_eval's same-scene table (colour_eval_scene.cpp): Different Clips' two learners on pairs
// of crops of one photograph with known truth, per half of the photographs.
#pragma once

#include <string>
#include <vector>

struct SceneOptions {
  std::vector<std::string> photos = {"/usr/share/backgrounds/mate/nature", "/usr/share/backgrounds"};
  int width = 1200;  // each photograph scaled to this many pixels wide (at least 200)
  std::vector<std::string> sets = {"sdr", "hdr", "unrelated"};
  std::vector<std::string> halves = {"tuning", "held-out"};
  std::vector<std::string> settings;  // name=value: a threshold of the analysis, while tuning
  bool pairs = false;                 // each pair's figures too
};

void sameSceneTable(const SceneOptions& options);
