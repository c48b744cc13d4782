// Media framework interfaces and records: the SDK's on Windows, ours elsewhere.
#pragma once

#include "com.h"

#ifdef _WIN32
#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#include <dshow.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#else
#include "posix/media_decl.h"
#endif
