// The module's version: the one place it is written (pyproject.toml reads it from here for the package metadata).
#pragma once

#define VOSTREL_VERSION "0.1.0"
