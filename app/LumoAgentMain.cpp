// The one application object of LumoAgent.exe, constructed before the entry point runs.
#include "app/LumoAgentApp.h"

LumoAgentApp theApp;
