// The platform as install's areas meet it, in four rooms: files, folders and paths (files.h),
// the files install writes by fixed names (own_files.h), the process start and the platform's
// family (processes.h), and text in the ANSI code page (ansi_text.h).
#pragma once

#include "ansi_text.h"
#include "files.h"
#include "own_files.h"
#include "processes.h"
