#include "appinfo.h"

AppInfoRecord AppInfo = {"Uninstall", "1.50", "Release", "Software\\Quillon\\Installer", 0, 0};
