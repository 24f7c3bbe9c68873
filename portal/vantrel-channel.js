/*
 * Vantrel channel as an ES module: import { startTool, Scene } from "./vantrel-channel.js".
 * The code is vantrel-channel.global.js, kept beside this file (classic pages load that one directly);
 * importing this module also defines globalThis.VantrelChannel.
 */
import "./vantrel-channel.global.js";

const kit = globalThis.VantrelChannel;

export const {
    Scene,
    Command,
    Endpoint,
    ErrorCode,
    Defaults,
    VantrelChannelError,
    defaultEndpoints,
    sendCommand,
    detect,
    startTool,
    closeTool,
    status,
    queryLatestVersion,
} = kit;
export default kit;
