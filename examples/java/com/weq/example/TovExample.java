package com.weq.example;

import com.weq.conn.rfc.driver.CpicDriver;
import com.weq.conn.rfc.driver.LG;
import com.weq.conn.rfc.engine.Compress;
import com.weq.i18n.cp.ConverterJNI;
import java.io.ByteArrayOutputStream;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.net.InetAddress;
import java.net.Socket;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.concurrent.atomic.AtomicReference;

/**
 * How a Java program uses libtovnative, end to end: text through the code page converter, a
 * conversation with the gateway as client and as registered server program, the application
 * server of a logon group, compression.
 *
 * <p>The natives are declared in four classes of the Java client library, whose names the
 * library's exports carry: {@link CpicDriver} (INIT, conversations, trace, version, UUIDs),
 * {@link LG} (logon groups), {@link Compress} and {@link ConverterJNI}; this program is compiled
 * with the declarations of the Java test bed (tests/krn/rfc/java/src). The natives never throw:
 * each answers with a return code (0 is success) and hands results back in the arrays it is given.
 *
 * <p>The gateway and the message server are programs of the library's test toolkit, gw_peer and
 * ms_peer, started here on free ports of 127.0.0.1. scripts/demo builds this program and runs it
 * (examples/java/run_example.sh) in a folder of its own, where the traces and the peers' logs go;
 * the system properties example.gwPeer and example.msPeer name the two programs, example.source
 * the folder of this source.
 */
public final class TovExample {
  static final String HOST = "127.0.0.1";
  /** The most one send or receive of a conversation carries. */
  static final int MAX_DATA = 32000;
  /** How long a receive (ms) or an accept (s) waits for the other side. */
  static final int RECEIVE_MS = 10_000;
  static final int ACCEPT_S = 10;
  /** Return codes and receive results of the CPI-C layer. */
  static final int CM_OK = 0;
  static final int CM_DEALLOCATED_NORMAL = 18;
  static final int CM_SEND_RECEIVED = 1;
  /** The compression natives' result "end of stream", and their buffer sizes. */
  static final int CSR_END_OF_STREAM = 1;
  static final int CSR_PLAIN_ROOM = 4128;
  static final int CSR_PACKED_ROOM = 2080;

  static final PrintStream out = new PrintStream(new FileOutputStream(FileDescriptor.out), true, StandardCharsets.UTF_8);
  static final long START = System.nanoTime();
  static final CpicDriver cpic = new CpicDriver();
  static int failed;

  public static void main(String[] args) {
    out.println("libtovnative from Java: what the library does for a Java client");
    out.println("(the program: examples/java/com/weq/example/TovExample.java)");
    if (step("1. Load the library and INIT", TovExample::loadAndInit)) {
      step("2. Text through the code page converter (ConverterJNI)", TovExample::convertText);
      step("3. A conversation with the gateway (CpicDriver, client side)", TovExample::clientConversation);
      step("4. A registered server program (CpicDriver, server side)", TovExample::registeredServer);
      step("5. Which application server of a logon group? (LG)", TovExample::logonGroup);
      step("6. Compression (Compress)", TovExample::compress);
    } else {
      out.println("   The other steps need the library: not run.");
      failed += 5;
    }
    listFiles();
    out.println();
    String took = String.format(" in %.1f s", (System.nanoTime() - START) / 1e9);
    out.println(failed == 0 ? "All 6 steps passed" + took + "." : failed + " of 6 steps FAILED" + took + ".");
    System.exit(failed == 0 ? 0 : 1);
  }

  // --- 1 -----------------------------------------------------------------------------------

  static void loadAndInit() {
    // The client library loads libtovnative.so from java.library.path ...
    System.loadLibrary("tovnative");
    // ... and calls INIT once: it starts the code page converter and the CPI-C layer.
    int rc = cpic.INIT();
    expect(rc == 0, "INIT returned " + rc + ": the library's trace TOVNATIVE_<pid>.TRC says why");
    say("INIT", "0: converter and CPI-C layer started");
    // The CPI-C trace (conversations, the gateway's messages) into a file, at level 2.
    expect(cpic.nativeSetCpicTrace(2, "cpic.trc") == 0, "nativeSetCpicTrace failed");

    int[] version = new int[3];
    expect(cpic.nativeCpicGetVersion(version) == 0, "nativeCpicGetVersion failed");
    say("version", "release " + version[0] + ", level " + version[1] + "; converter " + ConverterJNI.GetVersion());

    byte[] uuid = new byte[16];
    rc = cpic.nativeCreateUUID(uuid);
    expect(rc == 0, "nativeCreateUUID returned " + rc);
    say("a new UUID", hex(uuid));
  }

  // --- 2 -----------------------------------------------------------------------------------

  /**
   * A converter is a byte[172] that Java keeps and hands to every conversion, made for a pair of
   * code pages of four digits each; 4103 (UTF-16, little endian) is Java's own text. With
   * substitution (true) a character the target page lacks becomes '#'; without, the conversion
   * stops at it.
   */
  static byte[] converter(String from, String to, boolean substitute) {
    int[] err = new int[2];
    byte[] conv = ConverterJNI.ConvertInit(from.toCharArray(), to.toCharArray(), substitute, err);
    expect(err[0] == 0, "ConvertInit " + from + " -> " + to + ": " + err[0] + "\n" + ConverterJNI.GetLastError());
    return conv;
  }

  static void convertText() {
    // {language, code page, its name, Java's charset of that page, the text}
    String[][] samples = {
      {"German", "1100", "ISO 8859-1", "ISO-8859-1", "Grüße aus Köln!"},
      {"Japanese", "8000", "Shift-JIS", "windows-31j", "東京は晴れです。"},
      {"Chinese", "8400", "GBK", "GBK", "北京欢迎你。"},
    };
    for (String[] s : samples) {
      String cp = s[1];
      String text = s[4];
      int[] err = new int[2];
      // From Java text (C) to the page's bytes (X); err = {return code, characters taken}.
      byte[] bytes = ConverterJNI.ConvertCToX(converter("4103", cp, true), text, err);
      expect(err[0] == 0 && err[1] == text.length(), "ConvertCToX into " + cp + ": " + Arrays.toString(err));
      // And back; err = {return code, bytes taken}.
      String back = ConverterJNI.ConvertXToC(converter(cp, "4103", true), bytes, err);
      expect(err[0] == 0 && err[1] == bytes.length, "ConvertXToC from " + cp + ": " + Arrays.toString(err));
      out.println("   " + s[0] + " into " + cp + " (" + s[2] + ")");
      say("  text", text);
      say("  bytes", hex(bytes));
      say("  back", back);
      expect(back.equals(text), "the text came back changed");
      // The bytes of Java's own charset for the page: a check from outside the library.
      expect(Arrays.equals(bytes, text.getBytes(Charset.forName(s[3]))), "not the bytes of Java's " + s[3]);
    }

    String priced = "5 €";
    out.println("   A character that 1100 cannot hold: the euro sign");
    int[] err = new int[2];
    byte[] bytes = ConverterJNI.ConvertCToX(converter("4103", "1100", true), priced, err);
    say("  substituted", hex(bytes) + ": \"5 #\", return code " + err[0]);
    expect(err[0] == 0 && Arrays.equals(bytes, "5 #".getBytes(StandardCharsets.US_ASCII)), "no substitution");
    bytes = ConverterJNI.ConvertCToX(converter("4103", "1100", false), priced, err);
    say("  not substituted", hex(bytes) + ": return code " + err[0] + " after " + err[1] + " characters");
    expect(err[0] != 0 && err[1] == 2, "the conversion went past the euro sign");
    // What went wrong, as the converter's report of the calling thread's errors.
    out.println("     GetLastError():");
    for (String line : ConverterJNI.GetLastError().split("\n")) out.println("     " + line);
  }

  // --- 3 -----------------------------------------------------------------------------------

  static void clientConversation() throws Exception {
    try (Peer gw = gateway("gw_peer.client.log")) {
      // The library writes the conversation's id into the byte[8]; later calls name it.
      byte[] id = new byte[8];
      long t0 = System.nanoTime();
      // Initialise: destination, partner LU, TP name (gw_peer's partner "echo" sends back what
      // it gets), gateway host and service, protocol letter, trace level 0, no SNC (mode, QOP,
      // own name, partner name, library).
      int rc = cpic.nativeWEQ_CMINIT3(id, "DEMO", HOST, "echo", HOST, Integer.toString(gw.port), "I", 0, 0, 0,
          null, null, null);
      expect(rc == CM_OK, "nativeWEQ_CMINIT3 returned " + rc + ": " + cpic.WEQ_CMPERR());
      // Allocate: the conversation starts.
      rc = cpic.nativeCMALLC(id);
      expect(rc == CM_OK, "nativeCMALLC returned " + rc + ": " + cpic.WEQ_CMPERR());
      say("allocated", "conversation " + new String(id, StandardCharsets.US_ASCII) + " with TP \"echo\", "
          + ms(System.nanoTime() - t0));

      for (int size : new int[] {1024, 100 * 1024}) {
        byte[] data = pattern(size);
        t0 = System.nanoTime();
        int sends = send(id, data);
        Received r = receiveTurn(id);
        long took = System.nanoTime() - t0;
        expect(Arrays.equals(r.data, data), (size / 1024) + " KiB came back changed");
        say((size / 1024) + " KiB echoed", "round trip " + ms(took) + " (" + sends + " send(s), " + r.receives
            + " receive(s)), data identical");
      }
      rc = cpic.nativeCMDEAL(id);
      expect(rc == CM_OK, "nativeCMDEAL returned " + rc);
      say("deallocated", "0");
    }
  }

  /** Sends data in pieces of at most MAX_DATA; the number of sends. */
  static int send(byte[] id, byte[] data) {
    int sends = 0;
    for (int at = 0; at < data.length; at += MAX_DATA) {
      byte[] piece = Arrays.copyOfRange(data, at, Math.min(data.length, at + MAX_DATA));
      int rc = cpic.nativeCMSEND(id, piece, piece.length);
      expect(rc == CM_OK, "nativeCMSEND returned " + rc + ": " + cpic.WEQ_CMPERR());
      sends++;
    }
    return sends;
  }

  /** What the partner sent until it gave the turn back, and in how many receives. */
  record Received(byte[] data, int receives) {}

  static Received receiveTurn(byte[] id) {
    ByteArrayOutputStream got = new ByteArrayOutputStream();
    byte[] buffer = new byte[MAX_DATA];
    // result = {data received, status received, length}.
    int[] result = new int[3];
    for (int receives = 1; receives < 1000; receives++) {
      // The first receive also sends what the layer held back of the sends. -1: nothing came
      // within the time-out.
      int rc = cpic.nativeCpic_coxread(id, RECEIVE_MS, buffer, result);
      expect(rc == CM_OK, "nativeCpic_coxread returned " + rc + ": " + cpic.WEQ_CMPERR());
      got.write(buffer, 0, result[2]);
      if (result[1] == CM_SEND_RECEIVED) return new Received(got.toByteArray(), receives);
    }
    throw new IllegalStateException("the partner never gave the turn back");
  }

  // --- 4 -----------------------------------------------------------------------------------

  static void registeredServer() throws Exception {
    try (Peer gw = gateway("gw_peer.server.log")) {
      String serv = Integer.toString(gw.port);
      // Register a TP name at the gateway: conversations for "DEMOSERVER" come here.
      int[] handle = new int[1];
      int rc = cpic.nativeWEQ_CMREGTP3("DEMOSERVER", HOST, serv, handle, null, null, (byte) 0, false);
      expect(rc == CM_OK, "nativeWEQ_CMREGTP3 returned " + rc + ": " + cpic.WEQ_CMPERR());
      say("registered", "TP \"DEMOSERVER\", handle " + handle[0]);

      // In real life a program on the application server calls; here a thread of this program.
      AtomicReference<String> answer = new AtomicReference<>("no answer");
      Thread caller = new Thread(() -> answer.set(call(serv, "Guten Tag!")), "caller");
      caller.start();

      // Accept the conversation that the gateway hands over.
      byte[] id = new byte[8];
      rc = cpic.nativeWEQ_CMACCPTP3(id, handle[0], ACCEPT_S);
      expect(rc == CM_OK, "nativeWEQ_CMACCPTP3 returned " + rc + ": " + cpic.WEQ_CMPERR());
      String request = new String(receiveTurn(id).data, StandardCharsets.UTF_8);
      say("accepted", "conversation " + new String(id, StandardCharsets.US_ASCII) + ", request \"" + request + "\"");
      String reply = "Hello! (" + request.length() + " characters received)";
      send(id, reply.getBytes(StandardCharsets.UTF_8));
      // The caller deallocates once it has the answer: the next receive reports that end.
      rc = cpic.nativeCpic_coxread(id, RECEIVE_MS, new byte[MAX_DATA], new int[3]);
      expect(rc == CM_DEALLOCATED_NORMAL, "the caller's end: " + rc);
      caller.join(RECEIVE_MS);
      expect(answer.get().equals(reply), "the caller got " + answer.get());
      say("answered", "\"" + reply + "\", which the caller received");

      rc = cpic.nativeWEQ_CMUNREGTP3(handle[0]);
      expect(rc == CM_OK, "nativeWEQ_CMUNREGTP3 returned " + rc);
      say("unregistered", "0");
    }
  }

  /** The caller: a client conversation with the registered TP; the answer, or what failed. */
  static String call(String serv, String request) {
    byte[] id = new byte[8];
    byte[] data = request.getBytes(StandardCharsets.UTF_8);
    int rc = cpic.nativeWEQ_CMINIT3(id, "DEMO", HOST, "DEMOSERVER", HOST, serv, "I", 0, 0, 0, null, null, null);
    if (rc == CM_OK) rc = cpic.nativeCMALLC(id);
    if (rc == CM_OK) rc = cpic.nativeCMSEND(id, data, data.length);
    if (rc != CM_OK) return "a failed call: " + rc + " " + cpic.WEQ_CMPERR();
    try {
      return new String(receiveTurn(id).data, StandardCharsets.UTF_8);
    } catch (IllegalStateException e) {
      return e.getMessage();
    } finally {
      cpic.nativeCMDEAL(id);
    }
  }

  // --- 5 -----------------------------------------------------------------------------------

  static void logonGroup() throws Exception {
    // The message server knows the group PUBLIC, balanced by best quality, with two application
    // servers; the busier one has the lower quality. Each server answers a connection with its
    // name.
    String[][] servers = {{"alpha_DEM_00", "20", "busy"}, {"beta_DEM_01", "80", "little load"}};
    StringBuilder scenario = new StringBuilder("group PUBLIC 4 127.0.0.1 3200 740 1 0 3600 100\n");
    for (String[] s : servers) scenario.append("appserver " + s[0] + " 127.0.0.1 listen " + s[1] + " 0 1 1\n");
    Files.writeString(Paths.get("ms_peer.scenario"), scenario);
    try (Peer ms = new Peer("ms_peer", null, System.getProperty("example.msPeer"), "serve", "--scenario",
        "ms_peer.scenario", "--log", "ms_peer.log")) {
      say("message server", "ms_peer (pid " + ms.pid() + ") on " + HOST + ":" + ms.port);
      for (String[] s : servers) say("  " + s[0], "quality " + s[1] + " (" + s[2] + ")");

      // The address comes back as UTF-8 text ended by a 0 byte in a byte[100], the port in int[1].
      byte[] address = new byte[100];
      int[] port = new int[1];
      int rc = LG.nativeGet_MS("PUBLIC", HOST, Integer.toString(ms.port), address, port);
      expect(rc == 0, "nativeGet_MS returned " + rc);
      String host = new String(address, 0, textLength(address), StandardCharsets.UTF_8);
      String name = nameAt(host, port[0]);
      say("group PUBLIC", host + ":" + port[0] + ", " + name + ": the higher quality");
      expect(name.equals(servers[1][0]), "not the server of the higher quality");
    }
  }

  static int textLength(byte[] b) {
    int n = 0;
    while (n < b.length && b[n] != 0) n++;
    return n;
  }

  /** The name that a server of ms_peer answers a connection with. */
  static String nameAt(String host, int port) throws IOException {
    try (Socket s = new Socket(InetAddress.getByName(host), port)) {
      s.setSoTimeout(RECEIVE_MS);
      InputStream in = s.getInputStream();
      StringBuilder b = new StringBuilder();
      for (int c; (c = in.read()) >= 0 && c != '\n';) b.append((char) c);
      return b.toString();
    }
  }

  // --- 6 -----------------------------------------------------------------------------------

  static void compress() throws IOException {
    Path self = Paths.get(System.getProperty("example.source", "."), "com/weq/example/TovExample.java");
    byte[] data = Files.readAllBytes(self);
    say("input", self.getFileName() + ", " + data.length + " bytes");
    // Options: 2 LZH (at its default level 2), 0 LZC.
    for (Object[] alg : new Object[][] {{"LZH", 2}, {"LZC", 0}}) {
      long t0 = System.nanoTime();
      byte[] packed = compress(data, (Integer) alg[1]);
      byte[] back = decompress(packed);
      expect(Arrays.equals(back, data), alg[0] + ": the round trip changed the data");
      say("  " + alg[0], String.format("%d bytes (%.0f%%), decompressed: identical, %s", packed.length,
          100.0 * packed.length / data.length, ms(System.nanoTime() - t0)));
    }
  }

  /**
   * A stream is an 8-byte header and the compressed data. The natives take pieces: at most 4128
   * bytes in and 2080 out per call. A handle holds one stream at a time.
   */
  static byte[] compress(byte[] data, int options) {
    int h = Compress.CsRGetHandle();
    expect(h > 0, "CsRGetHandle returned " + h);
    try {
      ByteArrayOutputStream stream = new ByteArrayOutputStream();
      byte[] in = new byte[CSR_PLAIN_ROOM];
      byte[] room = new byte[CSR_PACKED_ROOM];
      // result = {bytes read, bytes written, 1 end of stream | 2 output full | 3 more input | < 0 error}.
      int[] result = new int[3];
      // A call with option 1 starts the stream: here it writes the header only.
      int rc = Compress.CsRCompress(h, data.length, in, 0, 0, room, 0, 8, options | 1, result);
      expect(rc == 0 && result[2] >= 0, "starting the stream: " + rc + "/" + result[2]);
      stream.write(room, 0, result[1]);
      int at = 0;
      do {
        int n = Math.min(in.length, data.length - at);
        System.arraycopy(data, at, in, 0, n);
        rc = Compress.CsRCompress(h, data.length, in, 0, n, room, 0, room.length, 0, result);
        expect(rc == 0 && result[2] > 0, "CsRCompress: " + rc + "/" + result[2]);
        at += result[0];
        stream.write(room, 0, result[1]);
      } while (result[2] != CSR_END_OF_STREAM);
      return stream.toByteArray();
    } finally {
      Compress.CsRCloseHandle(h);
    }
  }

  static byte[] decompress(byte[] stream) {
    int h = Compress.CsRGetHandle();
    expect(h > 0, "CsRGetHandle returned " + h);
    try {
      // The header says how long the data is and how it was compressed.
      int rc = Compress.CsRInitDecompress(h, Arrays.copyOf(stream, 8));
      expect(rc == 0, "CsRInitDecompress returned " + rc);
      ByteArrayOutputStream plain = new ByteArrayOutputStream();
      byte[] room = new byte[CSR_PLAIN_ROOM];
      int[] result = new int[3];
      int at = 8;
      do {
        byte[] in = Arrays.copyOfRange(stream, at, Math.min(stream.length, at + CSR_PACKED_ROOM));
        rc = Compress.CsRDecompress(h, in, 0, in.length, room, room.length, 0, result);
        expect(rc == 0 && result[2] > 0, "CsRDecompress: " + rc + "/" + result[2]);
        at += result[0];
        plain.write(room, 0, result[1]);
      } while (result[2] != CSR_END_OF_STREAM);
      return plain.toByteArray();
    } finally {
      Compress.CsRCloseHandle(h);
    }
  }

  // --- The report --------------------------------------------------------------------------

  interface Step {
    void run() throws Exception;
  }

  /** Runs one step under its title; a failure is reported and counted, and the run goes on. */
  static boolean step(String title, Step s) {
    out.println();
    out.println("== " + title);
    try {
      s.run();
      return true;
    } catch (Exception | Error e) {
      // An expectation that failed says what; anything else says what it is.
      out.println("   FAILED: " + (e instanceof IllegalStateException ? e.getMessage() : e));
      failed++;
      return false;
    }
  }

  static void say(String what, String text) {
    out.printf("   %-18s %s%n", what, text);
  }

  static void expect(boolean ok, String what) {
    if (!ok) throw new IllegalStateException(what);
  }

  static Peer gateway(String log) throws IOException {
    Peer gw = new Peer("gw_peer", Paths.get(log), System.getProperty("example.gwPeer"), "gateway");
    say("gateway", "gw_peer (pid " + gw.pid() + ") on " + HOST + ":" + gw.port);
    return gw;
  }

  /** The files of the run in the current folder, each with what it holds. */
  static void listFiles() {
    String[][] kinds = {
      {"TOVNATIVE_", "the library's trace (TOVNATIVE_TRACE)"},
      {"cpic.trc", "the CPI-C trace (nativeSetCpicTrace)"},
      {"gw_peer.client", "what the gateway saw in step 3"},
      {"gw_peer.server", "what the gateway saw in step 4"},
      {"ms_peer.scenario", "the logon group and servers of step 5"},
      {"ms_peer.log", "what the message server saw in step 5"},
    };
    out.println();
    out.println("== Traces and logs, in " + Paths.get("").toAbsolutePath());
    for (String[] k : kinds) {
      try (var files = Files.list(Paths.get(""))) {
        files.map(p -> p.getFileName().toString()).filter(n -> n.startsWith(k[0])).sorted()
            .forEach(n -> out.printf("   %-22s %s%n", n, k[1]));
      } catch (IOException e) {
        say(k[0], "not listed: " + e);
      }
    }
  }

  static byte[] pattern(int n) {
    byte[] b = new byte[n];
    for (int i = 0; i < n; i++) b[i] = (byte) (i * 31 + (i >> 8));
    return b;
  }

  static String hex(byte[] b) {
    StringBuilder s = new StringBuilder();
    for (byte x : b) s.append(String.format("%02X ", x & 0xFF));
    return s.toString().trim();
  }

  static String ms(long nanos) {
    return String.format("%.1f ms", nanos / 1e6);
  }
}
