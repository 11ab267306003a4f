// The console's talk with the gateway and the words it shows for what the module answered. The
// access token travels in the cookie that the console's address set; every call is same-origin.
'use strict';

// What a return code means, by service: the same code says different things for different services
// (a 404 of "CreateZip" is a selection that vanished, of "GetFileInfo" one file).
const MEANINGS = {
  CreateZip: {
    404: 'none of the selected items exist any more',
    403: 'every selected item was refused: not readable here, or browsing is switched off',
    8: 'the selection is too large to archive', 2: 'the finished archive cannot be found',
    1: 'the selection could not be read',
  },
  QueryFileSize: { 404: 'none of the selected items exist any more', 403: 'the selected items cannot be examined' },
  GetDiskFolderContent: { 403: 'folder browsing is switched off on this server', 1: 'the folder cannot be listed' },
  GetFileInfo: { 404: 'the file does not exist any more', 403: 'the file cannot be read here' },
  GetFile: { 404: 'the file does not exist any more', 8: 'too large to read at once' },
  ZipLogs: {
    1: 'the data folder is unknown', 2: 'the finished archive cannot be found', 403: 'outside the data folder',
    8: 'a log file is too large to hold in memory',
  },
  'my-ZEL_TailLog': { 404: 'the log does not exist yet', 403: 'the log cannot be read' },
};
const GENERAL = {
  '-1': 'the parameters were wrong or the answer could not be built', 1: 'the service failed',
  403: 'refused', 404: 'not found', 8: 'too large',
};

const $ = (id) => document.getElementById(id);
function showError(message) { $('error').textContent = message; $('error').hidden = !message; }
function rcText(service, rc) {
  return `${service}: ${MEANINGS[service]?.[rc] || GENERAL[rc] || 'see the module log'} (return code ${rc})`;
}

// A failed call: the gateway's own words, the HTTP status, and the module's return code when it sent one.
class GatewayError extends Error {
  constructor(status, body) {
    // Without the cookie only the address the host printed (with its token) lets the console in.
    const hint = status === 401 ? ': open the address with the token that zelhost printed' : '';
    super(`${body.error || 'HTTP ' + status} (HTTP ${status})${hint}`);
    this.status = status;
    this.rc = typeof body.rc === 'number' && body.rc !== 0 ? body.rc : undefined;
  }
}
// What went wrong with a service, in its own words when the module gave a return code.
const describe = (service, error) => (error.rc !== undefined ? rcText(service, error.rc) : `${service}: ${error.message}`);

async function api(path, options) {
  const response = await fetch(path, options);
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new GatewayError(response.status, body);
  return body;
}
const postJson = (path, body) => api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' },
  body: JSON.stringify(body) });
// A non-zero return code answers another status than 200 (README: the rc -> HTTP table), so it
// arrives as a GatewayError carrying the code, told in the service's own words.
async function call(service, input) {
  try {
    return (await postJson(`/api/services/${encodeURIComponent(service)}`, { input })).output;
  } catch (error) {
    if (error.rc !== undefined) error.message = rcText(service, error.rc);
    throw error;
  }
}

// A value as text: a null BSTR is empty, other typed values show their JSON form.
const text = (v) => (v === null || v === undefined ? ''
  : typeof v === 'object' ? ('bstr' in v ? v.bstr ?? '' : JSON.stringify(v)) : String(v));
// A 64-bit number as the JSON notation writes it ({"i8": n}) or plain.
const number = (v) => Number(v && typeof v === 'object' ? v.i8 ?? v.i4 ?? NaN : v);

const UNITS = ['bytes', 'KB', 'MB', 'GB', 'TB'];
function formatSize(bytes) {
  if (!Number.isFinite(bytes) || bytes < 0) return '';
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < UNITS.length - 1) { value /= 1024; unit++; }
  const digits = unit === 0 || value >= 100 ? 0 : 1;
  return `${value.toLocaleString(undefined, { maximumFractionDigits: digits })} ${UNITS[unit]}`;
}
const exactSize = (bytes) => `${bytes.toLocaleString()} bytes`;

// The module writes dates as the server's local time, "YYYY-MM-DD hh:mm:ss"; the reader sees them
// in their own language's form.
const DATE_FORMAT = new Intl.DateTimeFormat(undefined, { dateStyle: 'medium', timeStyle: 'short' });
function formatDate(value) {
  const parts = /^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)$/.exec(value);
  if (!parts) return value;
  const [, y, mo, d, h, mi, s] = parts.map(Number);
  const date = new Date(y, mo - 1, d, h, mi, s);
  return Number.isNaN(date.getTime()) ? value : DATE_FORMAT.format(date);
}

const fileUrl = (path) => `/api/files?path=${encodeURIComponent(path)}`;
