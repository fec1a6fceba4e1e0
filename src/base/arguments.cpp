#include "base/arguments.h"

SavedArguments saved_arguments;
