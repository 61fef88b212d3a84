// JavaScript run in the pages: the stealth measures injected before any page
// script, and the selector query that returns elements as plain data.
#pragma once

#include <string_view>

namespace korvane::browser::detail {

// Runs in every new document before the page's own scripts: hides
// navigator.webdriver, gives realistic languages, plugins, window.chrome and
// a notification permission that agrees with Notification.permission.
inline constexpr std::string_view STEALTH_SCRIPT = R"JS((() => {
  const define = (target, name, get) => {
    try { Object.defineProperty(target, name, { get, configurable: true, enumerable: true }); }
    catch (e) {}
  };
  if (navigator.webdriver !== false) define(Navigator.prototype, 'webdriver', () => false);
  const languages = Object.freeze(['en-US', 'en']);
  if (navigator.languages.join(',') !== 'en-US,en') {
    define(Navigator.prototype, 'languages', () => languages);
    define(Navigator.prototype, 'language', () => 'en-US');
  }
  if (!navigator.plugins || navigator.plugins.length === 0) {
    const mime = { type: 'application/pdf', suffixes: 'pdf', description: 'Portable Document Format' };
    const names = ['PDF Viewer', 'Chrome PDF Viewer', 'Chromium PDF Viewer',
                   'Microsoft Edge PDF Viewer', 'WebKit built-in PDF'];
    const plugins = names.map((name) => {
      const plugin = { name, filename: 'internal-pdf-viewer', description: 'Portable Document Format',
                       length: 1, 0: mime };
      plugin.item = (i) => (i === 0 ? mime : null);
      plugin.namedItem = (n) => (n === mime.type ? mime : null);
      return plugin;
    });
    const list = Object.assign(Object.create(PluginArray.prototype), plugins, { length: plugins.length });
    list.item = (i) => plugins[i] || null;
    list.namedItem = (n) => plugins.find((p) => p.name === n) || null;
    list.refresh = () => {};
    define(Navigator.prototype, 'plugins', () => list);
  }
  if (!window.chrome) {
    try { Object.defineProperty(window, 'chrome', { value: {}, configurable: true, writable: true }); }
    catch (e) {}
  }
  if (window.chrome && !window.chrome.runtime) {
    try { window.chrome.runtime = {}; } catch (e) {}
  }
  const permissions = navigator.permissions;
  if (permissions && permissions.query && window.Notification) {
    const query = permissions.query.bind(permissions);
    permissions.query = (descriptor) =>
      descriptor && descriptor.name === 'notifications'
        ? Promise.resolve({ state: Notification.permission === 'default' ? 'prompt' : Notification.permission,
                            onchange: null })
        : query(descriptor);
  }
})();)JS";

// A function expression: given a selector, returns the matching elements in
// document order as [{attrib, text, all_text}], where `all_text` holds the
// non-blank text pieces of the element (script, style, noscript and template
// contents left out) joined by "\n", and `text` the element's own text nodes.
inline constexpr std::string_view QUERY_FUNCTION = R"JS((selector) => {
  const skipped = new Set(['SCRIPT', 'STYLE', 'NOSCRIPT', 'TEMPLATE']);
  const result = [];
  for (const element of document.querySelectorAll(selector)) {
    const attrib = {};
    for (const attribute of element.attributes) attrib[attribute.name] = attribute.value;
    const pieces = [];
    const walker = document.createTreeWalker(element, NodeFilter.SHOW_ELEMENT | NodeFilter.SHOW_TEXT, {
      acceptNode(node) {
        if (node.nodeType === Node.ELEMENT_NODE) {
          return skipped.has(node.nodeName.toUpperCase()) && node !== element
            ? NodeFilter.FILTER_REJECT : NodeFilter.FILTER_SKIP;
        }
        return NodeFilter.FILTER_ACCEPT;
      },
    });
    for (let node = walker.nextNode(); node; node = walker.nextNode()) {
      if (node.data.trim() !== '') pieces.push(node.data);
    }
    let own = '';
    for (const child of element.childNodes) {
      if (child.nodeType === Node.TEXT_NODE) own += child.data;
    }
    result.push({ attrib, text: own, all_text: pieces.join('\n') });
  }
  return result;
})JS";

// A function expression: given a list of selectors, returns a short text
// that changes whenever the elements matching the first selector that
// matches anything change (their number, addresses or texts): "" when none
// matches. Throws for a selector the page refuses.
inline constexpr std::string_view READY_SIGNATURE_FUNCTION = R"JS((selectors) => {
  for (let s = 0; s < selectors.length; ++s) {
    const found = document.querySelectorAll(selectors[s]);
    if (found.length === 0) continue;
    let hash = 2166136261;
    const mix = (text) => {
      for (let i = 0; i < text.length; ++i) hash = Math.imul(hash ^ text.charCodeAt(i), 16777619);
      hash = Math.imul(hash ^ 10, 16777619);
    };
    for (const element of found) {
      mix(element.getAttribute('href') || '');
      mix(element.textContent || '');
    }
    return s + ':' + found.length + ':' + (hash >>> 0).toString(16);
  }
  return '';
})JS";

// The body of a function of (selectors, previous, limit) in which `signature`
// is READY_SIGNATURE_FUNCTION: returns a promise of the signature of
// `selectors`, given as soon as it differs from `previous` (at once, or on
// the first change of the document that changes it), else after `limit`
// milliseconds. Rejects for a selector the page refuses. Its timer runs on
// the page's clock: `limit` is of wall-clock time while that clock follows
// the wall clock, of the page's own time while it runs ahead, and never
// ends while it stands still.
inline constexpr std::string_view SIGNATURE_CHANGE_BODY = R"JS(
  return new Promise((resolve, reject) => {
    const first = signature(selectors);
    if (first !== previous) {
      resolve(first);
      return;
    }
    let timer = 0;
    let observer = null;
    const finish = () => {
      if (observer) observer.disconnect();
      clearTimeout(timer);
    };
    observer = new MutationObserver(() => {
      let current;
      try {
        current = signature(selectors);
      } catch (e) {
        finish();
        reject(e);
        return;
      }
      if (current !== previous) {
        finish();
        resolve(current);
      }
    });
    observer.observe(document, { subtree: true, childList: true, attributes: true, characterData: true });
    timer = setTimeout(() => {
      finish();
      resolve(previous);
    }, limit);
  });
)JS";

}  // namespace korvane::browser::detail
