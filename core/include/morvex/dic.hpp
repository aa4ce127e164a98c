#pragma once
/// Everything in morvex::dic.

#include <morvex/engine.hpp>
#include <morvex/export.hpp>
#include <morvex/guided.hpp>
#include <morvex/image.hpp>
#include <morvex/interpolation.hpp>
#include <morvex/preprocess.hpp>
#include <morvex/records.hpp>
#include <morvex/search.hpp>
#include <morvex/solvers.hpp>
#include <morvex/speckle.hpp>
#include <morvex/strain.hpp>
#include <morvex/streaming.hpp>
#include <morvex/synthesis.hpp>
#include <morvex/version.hpp>
#include <morvex/znssd.hpp>
