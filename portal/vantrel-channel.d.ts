// Type declarations of the Vantrel channel (vantrel-channel.js, and window.VantrelChannel defined by
// vantrel-channel.global.js). See README.md.

/** Scene codes of the tool table: which client tool a command is for. */
export declare const Scene: Readonly<{ SIGNATURE_CLIENT: "00"; ENCRYPTED_CLIENT: "01" }>;

/** The two documented commands. */
export declare const Command: Readonly<{ START: "startTool"; CLOSE: "closeTool" }>;

/** The program's three listeners, by address: a name such as localhost would leave the choice between
 *  127.0.0.1 and ::1 to the resolver. */
export declare const Endpoint: Readonly<{
    WS: "ws://127.0.0.1:51868";
    WSS: "wss://127.0.0.1:51869";
    WS_LEGACY: "ws://127.0.0.1:12345";
}>;

export type ErrorCodeValue =
    | "INVALID_ARGUMENT"
    | "NOT_REACHABLE"
    | "ORIGIN_REFUSED"
    /** The program that answered runs for another user of this machine (fast user switching, a second
     *  login) and refuses this page: it closed with 1008 and the reason "client of another user". */
    | "OTHER_USER"
    | "TIMEOUT"
    | "LOCAL_NETWORK_DENIED"
    | "INSECURE_CONTEXT"
    | "VERSION_SERVICE"
    /** A receipt was asked for and the connection closed before the program replied: the outcome is unknown. */
    | "NO_RECEIPT"
    /** status(): the program refused the query (it serves no origin allow-list, or is quitting); the
     *  message holds its reason. */
    | "STATUS_REFUSED";

export declare const ErrorCode: Readonly<{ [Code in ErrorCodeValue]: Code }>;

/** attemptTimeoutMs 3000, timeoutMs 10000, receiptTimeoutMs 60000. */
export declare const Defaults: Readonly<{ attemptTimeoutMs: number; timeoutMs: number; receiptTimeoutMs: number }>;

/** What happened on one endpoint. */
export interface Attempt {
    endpoint: string;
    /** open: used; refused: the program closed it with 1008 (its origin allow-list, or it runs for another
     *  user; detail holds the reason); failed: nothing completed the handshake; blocked: the browser would
     *  not try; timeout: no answer within attemptTimeoutMs. */
    outcome: "open" | "refused" | "failed" | "blocked" | "timeout";
    detail?: string;
}

export type PermissionStateValue = "granted" | "denied" | "prompt";

export declare class VantrelChannelError extends Error {
    readonly name: "VantrelChannelError";
    readonly code: ErrorCodeValue;
    readonly attempts: Attempt[];
    /** The browser's local network permission for this site, where the browser tells it. */
    readonly localNetworkPermission?: PermissionStateValue;
}

export interface ChannelOptions {
    /** ws:// or wss:// addresses tried in order; default: defaultEndpoints(). */
    endpoints?: string[];
    /** Bound of each endpoint's attempt, in milliseconds (default 3000). */
    attemptTimeoutMs?: number;
    /** Bound of the whole call, in milliseconds (default 10000). */
    timeoutMs?: number;
}

export interface CommandOptions extends ChannelOptions {
    /** Extra keys of the message, sent after VantrelUseScene, operationCommand (and requestId), untouched.
     *  They may not set those keys. */
    fields?: Record<string, unknown>;
    /** Ask the program for the command's outcome: the kit adds a fresh requestId and keeps the connection
     *  until the program replies. */
    receipt?: boolean;
    /** Bound of the wait for the reply once the message has left, in milliseconds (default 60000). */
    receiptTimeoutMs?: number;
}

export interface ReceiptOptions extends CommandOptions {
    receipt: true;
}

/** The command's outcome, as the program replied:
 *  delivered: written to the tool's listener; notInstalled: the program's check and install window was shown
 *  (a delivery after the installation is not reported); startFailed: the tool could not be started;
 *  toolUnreachable: started, but its listener never took the command; closeForwarded: a close handed to the
 *  running tool; notRunning: a close for a tool that does not run; queueFull: too many commands wait for
 *  the tool; refused: the program is quitting. */
export type ReceiptOutcome =
    | "delivered"
    | "notInstalled"
    | "startFailed"
    | "toolUnreachable"
    | "closeForwarded"
    | "notRunning"
    | "queueFull"
    | "refused";

export interface Receipt {
    requestId: string;
    outcome: ReceiptOutcome;
    /** Short English text for logs. */
    detail: string;
}

/** Resolved when the message was handed to the program over an open connection; with a receipt, once the
 *  program has replied too (whatever the outcome). */
export interface Delivery {
    endpoint: string;
    /** The text frame exactly as sent. */
    message: string;
    attempts: Attempt[];
    receipt?: Receipt;
}

export interface ReceiptDelivery extends Delivery {
    receipt: Receipt;
}

/** What status() resolves: the program's version and, per scene ("00", "01"), its tool's state. */
export interface ProgramStatus {
    version: string;
    tools: Record<string, { installed: boolean; running: boolean }>;
    endpoint: string;
    attempts: Attempt[];
}

export type Detection =
    | { reachable: true; endpoint: string; attempts: Attempt[] }
    | { reachable: false; code: ErrorCodeValue; error: VantrelChannelError; attempts: Attempt[] };

/** The version service's record for a component; fileUrl is the installer's address, always an absolute
 *  http or https one (queryLatestVersion rejects any other with VERSION_SERVICE). */
export interface VersionRecord {
    versionNumber?: number;
    versionName?: string;
    fileUrl: string;
    fileName?: string;
    componentName?: string;
    [key: string]: unknown;
}

/** wss first for "https:" pages, ws first otherwise; default: this page's protocol. */
export declare function defaultEndpoints(pageProtocol?: string): string[];
export declare function sendCommand(
    scene: string,
    operationCommand: string,
    options: ReceiptOptions
): Promise<ReceiptDelivery>;
export declare function sendCommand(scene: string, operationCommand: string, options?: CommandOptions): Promise<Delivery>;
export declare function startTool(scene: string, options: ReceiptOptions): Promise<ReceiptDelivery>;
export declare function startTool(scene: string, options?: CommandOptions): Promise<Delivery>;
export declare function closeTool(scene: string, options: ReceiptOptions): Promise<ReceiptDelivery>;
export declare function closeTool(scene: string, options?: CommandOptions): Promise<Delivery>;
export declare function detect(options?: ChannelOptions): Promise<Detection>;
/** Asks the program for its version and its tools' state; the whole call, reply included, is bounded by
 *  timeoutMs. Rejects with STATUS_REFUSED when the program serves no origin allow-list. */
export declare function status(options?: ChannelOptions): Promise<ProgramStatus>;
export declare function queryLatestVersion(
    serviceUrl: string,
    componentCode?: string,
    options?: { timeoutMs?: number }
): Promise<VersionRecord>;

declare const VantrelChannel: {
    Scene: typeof Scene;
    Command: typeof Command;
    Endpoint: typeof Endpoint;
    ErrorCode: typeof ErrorCode;
    Defaults: typeof Defaults;
    VantrelChannelError: typeof VantrelChannelError;
    defaultEndpoints: typeof defaultEndpoints;
    sendCommand: typeof sendCommand;
    startTool: typeof startTool;
    closeTool: typeof closeTool;
    detect: typeof detect;
    status: typeof status;
    queryLatestVersion: typeof queryLatestVersion;
};
export default VantrelChannel;

declare global {
    interface Window {
        VantrelChannel: typeof VantrelChannel;
    }
}
