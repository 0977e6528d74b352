// Decodes ISO-2022-JP text with the Encoding Standard's decoder (the one mail readers and
// browsers use) and writes it out as UTF-8.
// Usage: node decode_iso2022jp.js IN OUT      one file
//        node decode_iso2022jp.js --json      a JSON list of Base64 texts on standard input,
//                                             the JSON list of their decoded texts out
const fs = require("fs");
const decoder = new TextDecoder("iso-2022-jp");
if (process.argv[2] === "--json") {
    const inputs = JSON.parse(fs.readFileSync(0, "utf8"));
    process.stdout.write(JSON.stringify(inputs.map((b) => decoder.decode(Buffer.from(b, "base64")))));
} else {
    fs.writeFileSync(process.argv[3], decoder.decode(fs.readFileSync(process.argv[2])));
}
