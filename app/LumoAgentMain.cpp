// The one application object of LumoAgent.exe, constructed before the entry point runs.
#include "LumoAgentApp.h"

LumoAgentApp theApp;
