package com.weq.test;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * The message server of the tests (ms_peer, named in TOV_MS_PEER) for one test: its scenario,
 * its port, and its log read back as events of one kind.
 */
final class MsPeer implements AutoCloseable {
  static final String PROGRAM = System.getenv("TOV_MS_PEER");
  final Process process;
  final int port;
  final Path dir;
  final Path log;

  MsPeer(String scenario, String... faults) throws IOException {
    dir = Files.createTempDirectory("mspeer");
    Path scen = dir.resolve("scenario");
    Files.write(scen, scenario.getBytes(StandardCharsets.UTF_8));
    log = dir.resolve("log");
    List<String> cmd = new ArrayList<>(List.of(PROGRAM, "serve", "--scenario", scen.toString(), "--log",
        log.toString()));
    for (String f : faults) {
      cmd.add("--fault");
      cmd.add(f);
    }
    process = new ProcessBuilder(cmd).redirectError(ProcessBuilder.Redirect.DISCARD).start();
    BufferedReader out = new BufferedReader(
        new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII));
    String line = out.readLine();
    if (line == null || !line.startsWith("PORT ")) throw new IOException("ms_peer gave " + line);
    port = Integer.parseInt(line.substring(5).trim());
  }

  String serv() {
    return Integer.toString(port);
  }

  /** The events of one kind ("IN", "CONN" ...) whose text holds every one of the parts. */
  List<String> events(String what, String... parts) throws IOException {
    try (Stream<String> lines = Files.lines(log, StandardCharsets.UTF_8)) {
      return lines
          .filter(l -> l.split(" ").length > 1 && l.split(" ")[1].equals(what))
          .filter(l -> Stream.of(parts).allMatch(l::contains))
          .collect(Collectors.toList());
    }
  }

  /** Waits up to ms until at least n such events were logged. */
  boolean waitFor(int n, long ms, String what, String... parts) throws IOException, InterruptedException {
    long end = System.nanoTime() + ms * 1_000_000L;
    while (events(what, parts).size() < n) {
      if (System.nanoTime() > end) return false;
      Thread.sleep(2);
    }
    return true;
  }

  @Override
  public void close() throws IOException {
    process.destroyForcibly();
    try {
      process.waitFor();
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
    }
    try (Stream<Path> s = Files.walk(dir)) {
      for (Path p : s.sorted(Comparator.reverseOrder()).collect(Collectors.toList())) Files.delete(p);
    }
  }
}
