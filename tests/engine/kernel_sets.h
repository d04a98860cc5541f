// Runs a test body once for each vector kernel set this CPU supports.
#pragma once

#include <gtest/gtest.h>

#include "engine/engine_internal.h"

template <class Fn>
void forEachKernelSet(Fn fn) {
  for (engine::Isa isa : {engine::Isa::Generic, engine::Isa::Avx2, engine::Isa::Avx512}) {
    if (!engine::useIsa(isa)) continue;
    SCOPED_TRACE(isa == engine::Isa::Generic ? "generic" : isa == engine::Isa::Avx2 ? "avx2" : "avx512");
    fn();
  }
  engine::useIsa(engine::bestIsa());
}
