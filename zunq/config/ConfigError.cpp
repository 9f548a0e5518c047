#include "zunq/config/ConfigError.h"

ConfigError::ConfigError(const std::string& text) : std::invalid_argument(text) {}
