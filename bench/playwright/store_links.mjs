// The peer of bench_resolver: reads store search pages with Playwright
// (playwright-core driving the system's Chromium) and prints, as one JSON
// line, how long it took and the product links each page showed.
//
//   node store_links.mjs PLAYWRIGHT_DIR < job.json
//
// job.json: {"chromium": path, "args": [...], "tabs": N, "wait": "networkidle" | "link",
//            "timeout_ms": T, "pages": [{"url": ..., "selectors": [...]}]}
// "networkidle": each page is read once the network has been idle (Playwright's
// own rule: no connection for 500 ms); "link": as soon as an element matching
// one of the selectors is there (navigation committed, then waitForSelector).
// Time: from the browser's launch to its close, pages shared out over N tabs
// (each tab reused from page to page). Links: the first 10 elements of the
// first selector that matches anything, with their href and text.
import { createRequire } from 'node:module';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';

const require = createRequire(join(process.argv[2], 'package.json'));
const { chromium } = require('playwright-core');
const job = JSON.parse(readFileSync(0, 'utf8'));

const readLinks = ({ selectors }) => {
  for (const selector of selectors) {
    const found = [...document.querySelectorAll(selector)];
    if (found.length > 0) {
      return found.slice(0, 10).map((a) => ({ href: a.getAttribute('href') || '', text: a.textContent || '' }));
    }
  }
  return [];
};

const start = performance.now();
const browser = await chromium.launch({ executablePath: job.chromium, args: job.args, headless: true });
const context = await browser.newContext();
const queue = job.pages.map((page, index) => ({ ...page, index }));
const results = new Array(job.pages.length);

async function tab() {
  const page = await context.newPage();
  for (let item = queue.shift(); item; item = queue.shift()) {
    try {
      if (job.wait === 'networkidle') {
        await page.goto(item.url, { waitUntil: 'networkidle', timeout: job.timeout_ms });
      } else {
        await page.goto(item.url, { waitUntil: 'commit', timeout: job.timeout_ms });
        await page.waitForSelector(item.selectors.join(', '), { timeout: job.timeout_ms });
      }
      results[item.index] = { url: item.url, links: await page.evaluate(readLinks, { selectors: item.selectors }) };
    } catch (error) {
      results[item.index] = { url: item.url, links: [], error: String(error.message || error).split('\n')[0] };
    }
  }
  await page.close();
}

await Promise.all(Array.from({ length: job.tabs }, tab));
await browser.close();
process.stdout.write(JSON.stringify({ elapsed_ms: performance.now() - start, results }) + '\n');
