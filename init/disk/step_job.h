// A long job done in small steps, so that its caller can show progress.
#pragma once

namespace disk {

class StepJob {
 public:
  virtual ~StepJob() = default;
  // 0 to 100 while working, 101 when finished, -1 on failure.
  virtual int step() = 0;
};

}  // namespace disk
