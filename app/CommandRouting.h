#pragma once

// The top of the house wires the command server to the program: each message a page sends becomes
// UtilManager's command state (last message, scene, operation: in that order, as the server reads
// it), its text goes on the road of its scene's tool, and a start command that needs a launch is handed
// to the launch window. Nothing below this knows who listens to the server.
#include <functional>

class ToolDelivery;
class WebSocketServer;

using LaunchRequest = std::function<void(ToolDelivery *)>;

// Asks the launch window to launch tool.
void launchInWindow(ToolDelivery *tool);
// launch: what a start command that needs a launch asks for (tests without windows pass their own).
void routeCommands(WebSocketServer *server, const LaunchRequest &launch = launchInWindow);
// Tells the user, once, when another user's session holds the command ports.
void alertWhenPortsAreHeld(WebSocketServer *server);
