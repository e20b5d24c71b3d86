package com.weq.example;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * A program of the test toolkit (gw_peer, ms_peer) standing in for the server side: started as a
 * process of its own, it listens on a free port of 127.0.0.1 and names it in its first output line
 * "PORT n". Later output goes to a log file. Closing it stops the process by its pid.
 */
final class Peer implements AutoCloseable {
  final String name;
  final Process process;
  final int port;

  /** Starts program with its arguments; its output after the port line goes to log (or nowhere). */
  Peer(String name, Path log, String program, String... args) throws IOException {
    this.name = name;
    List<String> cmd = new ArrayList<>();
    cmd.add(program);
    cmd.addAll(List.of(args));
    // Both peers end by themselves when this JVM ends (--parent) or after a minute, should it
    // die before it could stop them.
    cmd.addAll(List.of("--lifetime", "60", "--parent", Long.toString(ProcessHandle.current().pid())));
    process = new ProcessBuilder(cmd).redirectError(ProcessBuilder.Redirect.DISCARD).start();
    InputStream out = process.getInputStream();
    String first = firstLine(out);
    if (first == null || !first.startsWith("PORT ")) {
      close();
      throw new IOException(name + " did not start: it printed " + first);
    }
    port = Integer.parseInt(first.substring(5).trim());
    Thread copy = new Thread(() -> {
      try (OutputStream to = log == null ? OutputStream.nullOutputStream() : Files.newOutputStream(log)) {
        out.transferTo(to);
      } catch (IOException e) {
        // The peer ended.
      }
    }, name + " log");
    copy.setDaemon(true);
    copy.start();
  }

  /** The first line, read byte by byte so that nothing behind it is buffered away from the log. */
  private static String firstLine(InputStream in) throws IOException {
    StringBuilder b = new StringBuilder();
    for (int c; (c = in.read()) >= 0;) {
      if (c == '\n') return b.toString();
      b.append((char) c);
    }
    return b.length() == 0 ? null : b.toString();
  }

  long pid() {
    return process.pid();
  }

  /** Stops the process (SIGTERM to its pid, SIGKILL after a second) and waits for its end. */
  @Override
  public void close() {
    process.destroy();
    try {
      if (!process.waitFor(1, TimeUnit.SECONDS)) {
        process.destroyForcibly();
        process.waitFor();
      }
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
    }
    TovExample.say("stopped", name + " (pid " + process.pid() + ")");
  }
}
