#pragma once

// Included from sys.h; include that instead.
