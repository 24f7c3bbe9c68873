/*
 * Vantrel channel: how a portal page reaches the local Tessary检测安装工具 (VantrelDetectInstallTool).
 *
 * Load it with <script src=".../vantrel-channel.global.js"></script>, which defines window.VantrelChannel,
 * or import the ES module vantrel-channel.js kept beside it. No dependencies. See README.md.
 *
 * The program answers a command only when it carries a requestId (receipt: true): then once, with
 * the command's outcome. Without one, a resolved sendCommand() means "the message was handed to the
 * program over an open connection", not "the tool started": the program shows its own windows for that.
 */
(function (root) {
    "use strict";

    const Scene = Object.freeze({ SIGNATURE_CLIENT: "00", ENCRYPTED_CLIENT: "01" });
    const Command = Object.freeze({ START: "startTool", CLOSE: "closeTool" });
    const Endpoint = Object.freeze({
        WS: "ws://127.0.0.1:51868",
        WSS: "wss://127.0.0.1:51869",
        WS_LEGACY: "ws://127.0.0.1:12345",
    });
    const ErrorCode = Object.freeze({
        INVALID_ARGUMENT: "INVALID_ARGUMENT",
        NOT_REACHABLE: "NOT_REACHABLE",
        ORIGIN_REFUSED: "ORIGIN_REFUSED",
        OTHER_USER: "OTHER_USER",
        TIMEOUT: "TIMEOUT",
        LOCAL_NETWORK_DENIED: "LOCAL_NETWORK_DENIED",
        INSECURE_CONTEXT: "INSECURE_CONTEXT",
        VERSION_SERVICE: "VERSION_SERVICE",
        NO_RECEIPT: "NO_RECEIPT",
        STATUS_REFUSED: "STATUS_REFUSED",
    });
    const Defaults = Object.freeze({ attemptTimeoutMs: 3000, timeoutMs: 10000, receiptTimeoutMs: 60000 });

    // The program accepts a page outside its origin allow-list, or a page of another user of the machine
    // (its copy holds the ports), and closes at once with this code; the reason tells the two apart. Only
    // the program can send it: a close that reaches the page with it followed a completed handshake.
    const POLICY_VIOLATION = 1008;
    const OTHER_USER_REASON = "client of another user";
    // After the handshake, how long to watch for that close before the connection counts as usable.
    const SETTLE_MS = 150;
    const DRAIN_POLL_MS = 10;
    // The kit's own keys: the page's fields may not set them. A requestId asks the program for a reply,
    // which only the kit listens for.
    const RESERVED_KEYS = ["VantrelUseScene", "operationCommand", "requestId"];
    const REQUEST_ID_CHARS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._:-";
    const VERSION_QUERY_PATH = "/version-manage/customer-tool-version/query-latest-customer-tool-version";
    const MESSAGES = {
        NOT_REACHABLE: "the program is not reachable: not installed or not running",
        ORIGIN_REFUSED: "the program refuses pages of this origin (its origin allow-list)",
        OTHER_USER: "the program listening here runs for another user of this machine and refuses this page",
        TIMEOUT: "the program did not answer in time",
        LOCAL_NETWORK_DENIED: "the browser's local network permission is denied for this site",
        INSECURE_CONTEXT: "the browser denies insecure pages the local network: serve the portal over https",
        REPLY_TIMEOUT: "the program did not reply in time (a program without receipts never replies)",
        NO_RECEIPT: "the connection closed before the program replied: the command's outcome is unknown",
    };

    class VantrelChannelError extends Error {
        constructor(code, message, details = {}) {
            super(message);
            this.name = "VantrelChannelError";
            this.code = code;
            this.attempts = details.attempts || [];
            this.localNetworkPermission = details.localNetworkPermission;
        }
    }

    const invalid = (message) => new VantrelChannelError(ErrorCode.INVALID_ARGUMENT, message);
    const delay = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
    const isPlainObject = (value) => value !== null && typeof value === "object" && !Array.isArray(value);

    // An absolute http or https address. Any other (javascript:, data:, file:, a custom scheme) would run
    // in the page or open something local when put into a link.
    function isWebAddress(value) {
        try {
            return typeof value === "string" && ["http:", "https:"].includes(new URL(value).protocol);
        } catch (notAbsolute) {
            return false;
        }
    }

    // wss first on https pages: Safari refuses ws:// from them (Chrome, Edge and Firefox allow loopback).
    // ws first elsewhere: it needs no certificate. Every endpoint is an address, never a name: with
    // "localhost" the resolver would choose between 127.0.0.1 and ::1.
    function defaultEndpoints(pageProtocol) {
        const protocol = pageProtocol || (root.location && root.location.protocol);
        return protocol === "https:"
            ? [Endpoint.WSS, Endpoint.WS, Endpoint.WS_LEGACY]
            : [Endpoint.WS, Endpoint.WS_LEGACY, Endpoint.WSS];
    }

    function positiveNumber(value, fallback, name) {
        if (value === undefined) return fallback;
        if (typeof value !== "number" || !(value > 0) || !Number.isFinite(value))
            throw invalid(`${name} must be a positive number of milliseconds`);
        return value;
    }

    function checkEndpoints(endpoints) {
        if (endpoints === undefined) return defaultEndpoints();
        if (!Array.isArray(endpoints) || endpoints.length === 0)
            throw invalid("endpoints must be a non-empty array of ws:// or wss:// addresses");
        for (const endpoint of endpoints) {
            if (typeof endpoint !== "string" || !/^wss?:\/\/[^/?#\s]+(\/\S*)?$/i.test(endpoint))
                throw invalid(`not a ws:// or wss:// address: ${String(endpoint)}`);
        }
        return endpoints.slice();
    }

    function checkOptions(options = {}) {
        if (!isPlainObject(options)) throw invalid("options must be an object");
        const fields = options.fields === undefined ? {} : options.fields;
        if (!isPlainObject(fields)) throw invalid("fields must be an object");
        for (const key of RESERVED_KEYS) {
            if (Object.prototype.hasOwnProperty.call(fields, key))
                throw invalid(`fields must not set ${key}; the kit sets it`);
        }
        if (options.receipt !== undefined && typeof options.receipt !== "boolean")
            throw invalid("receipt must be true or false");
        return {
            endpoints: checkEndpoints(options.endpoints),
            attemptTimeoutMs: positiveNumber(options.attemptTimeoutMs, Defaults.attemptTimeoutMs, "attemptTimeoutMs"),
            timeoutMs: positiveNumber(options.timeoutMs, Defaults.timeoutMs, "timeoutMs"),
            receipt: options.receipt === true,
            receiptTimeoutMs: positiveNumber(options.receiptTimeoutMs, Defaults.receiptTimeoutMs, "receiptTimeoutMs"),
            fields,
        };
    }

    // Fresh for each call, so that a reply can only be to this call. randomUUID needs a secure context;
    // a plain-http page that the browser lets through gets an id of the same kind from getRandomValues.
    function newRequestId() {
        const crypto = root.crypto;
        if (crypto && typeof crypto.randomUUID === "function") return crypto.randomUUID();
        const bytes = new Uint8Array(32);
        if (crypto && typeof crypto.getRandomValues === "function") crypto.getRandomValues(bytes);
        else for (let i = 0; i < bytes.length; ++i) bytes[i] = Math.floor(Math.random() * 256);
        return Array.from(bytes, (byte) => REQUEST_ID_CHARS[byte % REQUEST_ID_CHARS.length]).join("");
    }

    // The text frame the program reads: the scene and the command first, the kit's requestId when it
    // asks for a receipt, then the page's own fields in their order, untouched (the program hands the
    // whole text to the tool).
    function buildMessage(scene, operationCommand, fields, requestId) {
        if (typeof scene !== "string") throw invalid('scene must be a string such as "00" or "01"');
        if (typeof operationCommand !== "string")
            throw invalid('operationCommand must be a string such as "startTool" or "closeTool"');
        let text;
        try {
            text = JSON.stringify({ VantrelUseScene: scene, operationCommand, requestId, ...fields });
        } catch (error) {
            throw invalid(`fields cannot be written as JSON: ${error.message}`);
        }
        return text;
    }

    function closeQuietly(socket) {
        socket.onopen = socket.onclose = socket.onerror = socket.onmessage = null;
        try {
            socket.close(1000);
        } catch (ignored) {
            // already closing
        }
    }

    // One endpoint, bounded by ms. Resolves { outcome, socket?, detail? } where outcome is "open",
    // "refused" (closed by the program with 1008, its reason in detail, whether or not the browser fired
    // open before: Firefox often does not), "failed" (nothing completed the handshake),
    // "blocked" (the browser would not even try, e.g. ws:// from an https page in Safari) or "timeout".
    function attempt(url, ms) {
        return new Promise((resolve) => {
            let socket;
            try {
                socket = new WebSocket(url);
            } catch (error) {
                resolve({ outcome: "blocked", detail: String((error && error.message) || error) });
                return;
            }
            let settle;
            const finish = (result) => {
                clearTimeout(timer);
                clearTimeout(settle);
                resolve(result);
            };
            const timer = setTimeout(() => {
                closeQuietly(socket);
                finish({ outcome: "timeout" });
            }, ms);
            socket.onopen = () => {
                settle = setTimeout(() => {
                    socket.onopen = socket.onerror = socket.onclose = null;
                    finish({ outcome: "open", socket });
                }, SETTLE_MS);
            };
            socket.onclose = (event) =>
                finish(
                    event.code === POLICY_VIOLATION
                        ? { outcome: "refused", detail: event.reason }
                        : { outcome: "failed" }
                );
        });
    }

    async function localNetworkPermission() {
        const permissions = root.navigator && root.navigator.permissions;
        if (!permissions || typeof permissions.query !== "function") return undefined;
        // Chrome's names for the permission to reach loopback, newest first; other browsers know neither.
        for (const name of ["loopback-network", "local-network-access"]) {
            try {
                return (await permissions.query({ name })).state;
            } catch (unknownName) {
                // try the older name
            }
        }
        return undefined;
    }

    // Tries the endpoints in order until one gives a usable connection.
    async function firstConnection(settings, attempts, deadline) {
        // Chrome denies a page that is not a secure context the local network before any attempt, and
        // no site setting can change that. Browsers without the permission, or that have not denied it,
        // let such pages connect.
        if (root.isSecureContext === false) {
            const permission = await localNetworkPermission();
            if (permission === "denied") throw failure(ErrorCode.INSECURE_CONTEXT, attempts, permission);
        }
        for (const endpoint of settings.endpoints) {
            const left = deadline - Date.now();
            if (left <= 0) break;
            const result = await attempt(endpoint, Math.min(settings.attemptTimeoutMs, left));
            attempts.push({ endpoint, outcome: result.outcome, detail: result.detail });
            if (result.outcome === "open") return { endpoint, socket: result.socket, attempts };
            // The program that refused also holds the other endpoints: trying them cannot help.
            if (result.outcome === "refused") {
                const code = result.detail === OTHER_USER_REASON ? ErrorCode.OTHER_USER : ErrorCode.ORIGIN_REFUSED;
                throw failure(code, attempts);
            }
        }
        const permission = await localNetworkPermission();
        if (permission === "denied") throw failure(ErrorCode.LOCAL_NETWORK_DENIED, attempts, permission);
        const timedOut = Date.now() >= deadline || attempts.some((entry) => entry.outcome === "timeout");
        throw failure(timedOut ? ErrorCode.TIMEOUT : ErrorCode.NOT_REACHABLE, attempts, permission);
    }

    function failure(code, attempts, localNetworkPermission) {
        return new VantrelChannelError(code, MESSAGES[code], { attempts, localNetworkPermission });
    }

    // The whole search bounded by settings.timeoutMs; a connection that opens after it is closed unused.
    function connect(settings) {
        const attempts = [];
        let expired = false;
        let timer;
        const bound = new Promise((resolve, reject) => {
            timer = setTimeout(() => {
                expired = true;
                reject(failure(ErrorCode.TIMEOUT, attempts));
            }, settings.timeoutMs);
        });
        const search = firstConnection(settings, attempts, Date.now() + settings.timeoutMs).then((connection) => {
            if (expired) closeQuietly(connection.socket);
            return connection;
        });
        search.catch(() => {}); // once the bound has spoken, the search's own ending is nobody's concern
        return Promise.race([search, bound]).finally(() => clearTimeout(timer));
    }

    // The program's reply to requestId on this connection: the first JSON object that carries it (any
    // other frame is not ours). Listening starts before the frame is sent, as the reply may come at once;
    // cancel() ends the wait when the frame never left.
    function replyTo(connection, requestId, ms) {
        const { socket } = connection;
        let timer;
        const reply = new Promise((resolve, reject) => {
            const fail = (code, message) => reject(new VantrelChannelError(code, message, connection));
            timer = setTimeout(() => fail(ErrorCode.TIMEOUT, MESSAGES.REPLY_TIMEOUT), ms);
            socket.onmessage = (event) => {
                let parsed;
                try {
                    parsed = JSON.parse(event.data);
                } catch (notJson) {
                    return;
                }
                if (isPlainObject(parsed) && parsed.requestId === requestId) resolve(parsed);
            };
            socket.onclose = () => fail(ErrorCode.NO_RECEIPT, MESSAGES.NO_RECEIPT);
        });
        reply.catch(() => {}); // awaited only once the frame has left
        return { reply: reply.finally(() => clearTimeout(timer)), cancel: () => clearTimeout(timer) };
    }

    // Sends the frame and resolves once it has left the browser's buffer, or, when requestId is given,
    // once the program has replied to it (bounded by replyMs). Always closes the connection.
    async function deliver(connection, message, deadline, requestId, replyMs) {
        const { socket } = connection;
        const waiting = requestId === undefined ? undefined : replyTo(connection, requestId, replyMs);
        try {
            socket.send(message);
            while (socket.bufferedAmount > 0 && socket.readyState === WebSocket.OPEN && Date.now() < deadline)
                await delay(DRAIN_POLL_MS);
            if (socket.bufferedAmount !== 0) {
                const code = socket.readyState === WebSocket.OPEN ? ErrorCode.TIMEOUT : ErrorCode.NOT_REACHABLE;
                throw new VantrelChannelError(code, "the message did not leave the browser", connection);
            }
            const delivery = { endpoint: connection.endpoint, message, attempts: connection.attempts };
            return waiting ? { ...delivery, reply: await waiting.reply } : delivery;
        } finally {
            if (waiting) waiting.cancel();
            closeQuietly(socket);
        }
    }

    async function sendCommand(scene, operationCommand, options) {
        const settings = checkOptions(options);
        const requestId = settings.receipt ? newRequestId() : undefined;
        const message = buildMessage(scene, operationCommand, settings.fields, requestId);
        const deadline = Date.now() + settings.timeoutMs;
        const connection = await connect(settings);
        const sent = await deliver(connection, message, deadline, requestId, settings.receiptTimeoutMs);
        if (!sent.reply) return sent;
        const { reply, ...delivery } = sent;
        const detail = typeof reply.detail === "string" ? reply.detail : "";
        return { ...delivery, receipt: { requestId, outcome: String(reply.outcome), detail } };
    }

    // What the program says of itself: its version and, per scene, whether the tool is installed and
    // runs. The program answers only when it serves an origin allow-list (else a page of any site could
    // survey the machine). The whole call, reply included, is bounded by timeoutMs.
    async function status(options) {
        const settings = checkOptions(options);
        const requestId = newRequestId();
        const message = JSON.stringify({ operationCommand: "queryStatus", requestId });
        const deadline = Date.now() + settings.timeoutMs;
        const connection = await connect(settings);
        const left = Math.max(deadline - Date.now(), 1);
        const { reply } = await deliver(connection, message, deadline, requestId, left);
        if (reply.outcome !== "status") {
            const why = typeof reply.detail === "string" && reply.detail ? reply.detail : String(reply.outcome);
            const text = `the program refused the status query: ${why}`;
            throw new VantrelChannelError(ErrorCode.STATUS_REFUSED, text, connection);
        }
        const { endpoint, attempts } = connection;
        return { version: reply.version, tools: reply.tools, endpoint, attempts };
    }

    // Whether the program answers, without sending a command. Resolves { reachable: true, endpoint }
    // or { reachable: false, code, error }; rejects only for invalid options.
    async function detect(options) {
        const settings = checkOptions(options);
        try {
            const connection = await connect(settings);
            closeQuietly(connection.socket);
            return { reachable: true, endpoint: connection.endpoint, attempts: connection.attempts };
        } catch (error) {
            return { reachable: false, code: error.code, error, attempts: error.attempts };
        }
    }

    const startTool = (scene, options) => sendCommand(scene, Command.START, options);
    const closeTool = (scene, options) => sendCommand(scene, Command.CLOSE, options);

    // The version service's latest record for a component (default: this program); its fileUrl is the
    // installer's address, always an absolute http or https one. The service must allow the page's origin
    // (CORS) unless it is the same origin.
    async function queryLatestVersion(serviceUrl, componentCode = "VantrelDetectInstallTool", options = {}) {
        if (typeof serviceUrl !== "string" || serviceUrl === "")
            throw invalid("serviceUrl must be the version service's address");
        if (typeof componentCode !== "string") throw invalid("componentCode must be a string");
        const timeoutMs = positiveNumber(options.timeoutMs, Defaults.timeoutMs, "timeoutMs");
        const failed = (reason) => new VantrelChannelError(ErrorCode.VERSION_SERVICE, `version service: ${reason}`);
        const url = `${serviceUrl.replace(/\/+$/, "")}${VERSION_QUERY_PATH}?componentCode=${encodeURIComponent(componentCode)}`;
        const controller = new AbortController();
        const timer = setTimeout(() => controller.abort(), timeoutMs);
        try {
            const response = await fetch(url, { cache: "no-store", signal: controller.signal });
            if (!response.ok) throw failed(`HTTP ${response.status}`);
            const reply = await response.json();
            if (!isPlainObject(reply) || reply.code !== 200 || !isPlainObject(reply.data))
                throw failed(`no record for ${componentCode}`);
            if (!isWebAddress(reply.data.fileUrl))
                throw failed(`the record for ${componentCode} has no http or https installer address`);
            return reply.data;
        } catch (error) {
            if (error instanceof VantrelChannelError) throw error;
            throw failed(error && error.name === "AbortError" ? "no answer in time" : "unreachable or not JSON");
        } finally {
            clearTimeout(timer);
        }
    }

    root.VantrelChannel = Object.freeze({
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
    });
})(typeof globalThis !== "undefined" ? globalThis : this);
