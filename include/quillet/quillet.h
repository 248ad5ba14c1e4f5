// The whole public interface of libquillet.
#pragma once

#include <quillet/BitmapFile.h>
#include <quillet/CopyCount.h>
#include <quillet/Export.h>
#include <quillet/IRIPBase.h>
#include <quillet/IRIPStatus.h>
#include <quillet/NonCopyable.h>
#include <quillet/OfficeSuite.h>
#include <quillet/Version.h>
