// The whole kit: owning references and errors, argument parsing, generators,
// module initialisation and dataclasses. NumPy helpers are in numpy.hpp.
#pragma once

#include "args.hpp"
#include "dataclass.hpp"
#include "generator.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "type.hpp"
