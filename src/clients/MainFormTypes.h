// Types of the client service that the main window holds.
#pragma once

#include "clients/CommandParserGenerator.h"
#include "clients/Klient.h"
#include "clients/UdpSender.h"
