//! kelv-rustc-driver: the toolchain's own compiler, run with Kelvane's callbacks.
//!
//! Without any `KELV_DRIVER_*` variable this program is rustc: same arguments,
//! same outputs, same diagnostics, same exit codes. Two behaviours can be
//! switched on by kelv-rustc-wrapper:
//!
//! * `KELV_DRIVER_INTERFACE_HASH` (present, any value): a library's crate hash
//!   (SVH) is computed from what its dependents can observe rather than from
//!   every function body, and is written next to the metadata together with
//!   the list of crates whose source positions the metadata records
//!   (`lib<stem>.kelv-svh`, `lib<stem>.kelv-span-deps`).
//! * `KELV_DRIVER_READY_FD` (Unix, a descriptor number): outputs are linked
//!   before the incremental state is saved and announced with one byte on that
//!   descriptor (see `early_link.rs`); `KELV_DRIVER_KEEP_OBJECTS` additionally
//!   names a directory for the object files of the compilation.
//!
//! The compiler's internal interfaces change between releases. Places that
//! depend on details of one release carry a `check:` comment naming what to
//! verify against that release's sources.

#![feature(rustc_private)]

extern crate rustc_abi;
extern crate rustc_ast;
extern crate rustc_codegen_ssa;
extern crate rustc_data_structures;
extern crate rustc_driver;
extern crate rustc_hir;
extern crate rustc_interface;
extern crate rustc_metadata;
extern crate rustc_middle;
extern crate rustc_session;
extern crate rustc_span;
extern crate rustc_target;

#[cfg(unix)]
mod early_link;

use std::collections::{BTreeMap, BTreeSet};
use std::hash::Hash;
use std::process::ExitCode;
use std::sync::{Arc, OnceLock};

use rustc_ast::tokenstream::{TokenStream, TokenTree};
use rustc_data_structures::fingerprint::Fingerprint;
use rustc_data_structures::fx::{FxHashMap, FxHashSet};
use rustc_data_structures::stable_hasher::{HashStable, StableHasher};
use rustc_data_structures::svh::Svh;
use rustc_hir::def::DefKind;
use rustc_hir::def_id::{CrateNum, DefId, DefPathHash, LocalDefId, CRATE_DEF_ID, LOCAL_CRATE};
use rustc_hir::{ImplItemKind, ItemKind, ItemLocalId, MaybeOwner, Node, OwnerInfo, OwnerNode};
use rustc_interface::interface::Config;
use rustc_middle::ich::StableHashingContext;
use rustc_middle::middle::debugger_visualizer::DebuggerVisualizerFile;
use rustc_middle::query::LocalCrate;
use rustc_middle::ty::TyCtxt;
use rustc_middle::util::Providers;
use rustc_session::config::{CrateType, DebugInfo, ErrorOutputType, OutFileName, OutputType};
use rustc_session::{EarlyDiagCtxt, Session};
use rustc_span::hygiene::ExpnId;
use rustc_span::{BytePos, Span};

/// Where internal compiler errors met through this driver should be reported.
const BUG_REPORT_URL: &str = "https://github.com/kelvane/kelv/issues/new?labels=driver";

fn main() -> ExitCode {
    let early_dcx = EarlyDiagCtxt::new(ErrorOutputType::default());
    rustc_driver::init_rustc_env_logger(&early_dcx);
    rustc_driver::install_ice_hook(BUG_REPORT_URL, |_| ());
    rustc_driver::install_ctrlc_handler();

    let ready_fd = ready_fd();
    #[cfg(unix)]
    if let Some(fd) = ready_fd {
        // Linkers and other programs started by the compiler must not hold the
        // pipe open: the wrapper waits for it to close.
        early_link::set_close_on_exec(fd);
    }
    let mut callbacks = KelvCallbacks {
        interface_hash: std::env::var_os("KELV_DRIVER_INTERFACE_HASH").is_some(),
        ready_fd,
    };
    let args = rustc_driver::args::raw_args(&early_dcx);
    rustc_driver::catch_with_exit_code(|| rustc_driver::run_compiler(&args, &mut callbacks))
}

/// The write end of the ready pipe, from `KELV_DRIVER_READY_FD` (Unix only).
/// A value that is not a descriptor number counts as unset.
fn ready_fd() -> Option<i32> {
    if !cfg!(unix) {
        return None;
    }
    let fd: i32 = std::env::var("KELV_DRIVER_READY_FD").ok()?.parse().ok()?;
    (fd >= 0).then_some(fd)
}

struct KelvCallbacks {
    interface_hash: bool,
    ready_fd: Option<i32>,
}

impl rustc_driver::Callbacks for KelvCallbacks {
    fn config(&mut self, config: &mut Config) {
        // As rustc's own driver does; it decides how paths are printed into metadata.
        config.opts.trimmed_def_paths = true;

        #[cfg(unix)]
        if let Some(fd) = self.ready_fd {
            let keep_dir =
                std::env::var_os("KELV_DRIVER_KEEP_OBJECTS").map(std::path::PathBuf::from);
            // The factory gets the options and the compilation's target.
            config.make_codegen_backend = Some(Box::new(move |opts, target| {
                // The backend rustc would have used, as rustc_interface picks it.
                let early_dcx = EarlyDiagCtxt::new(opts.error_format);
                let inner = rustc_interface::util::get_codegen_backend(
                    &early_dcx,
                    &opts.sysroot,
                    opts.unstable_opts.codegen_backend.as_deref(),
                    target,
                );
                Box::new(early_link::EarlyLink::new(inner, fd, keep_dir))
                    as Box<dyn rustc_codegen_ssa::traits::CodegenBackend>
            }));
        }

        if self.interface_hash {
            config.override_queries = Some(override_queries);
        }
    }
}

// ---------------------------------------------------------------------------
// Interface hash: the `crate_hash` query of the local crate.

type CrateHashProvider = for<'tcx> fn(TyCtxt<'tcx>, LocalCrate) -> Svh;

/// The compiler's own `crate_hash` provider, saved before ours replaces it.
static STOCK_CRATE_HASH: OnceLock<CrateHashProvider> = OnceLock::new();

fn override_queries(_sess: &Session, providers: &mut Providers) {
    let _ = STOCK_CRATE_HASH.set(providers.queries.crate_hash);
    providers.queries.crate_hash = interface_crate_hash;
}

fn interface_crate_hash(tcx: TyCtxt<'_>, key: LocalCrate) -> Svh {
    let stock = *STOCK_CRATE_HASH
        .get()
        .expect("stock crate_hash provider was saved");
    let types = tcx.crate_types();
    // Procedural macros run inside their dependents' compilations; binaries and
    // build scripts have no dependents.
    // check: 1.95 has no `needs_hir_hash`; the HIR hash is gated on `needs_crate_hash`.
    if types.contains(&CrateType::ProcMacro)
        || !types
            .iter()
            .any(|t| matches!(t, CrateType::Rlib | CrateType::Dylib))
        || !tcx.needs_crate_hash()
    {
        return stock(tcx, key);
    }
    let (fingerprint, span_crates) = InterfaceHash::new(tcx).compute();
    let svh = Svh::new(fingerprint);
    write_crate_hash_files(tcx, svh, &span_crates);
    svh
}

/// Per HIR owner: `Some(inside)` when the owner is a function whose body stays
/// in this crate; `inside[local id]` tells whether that HIR node belongs to the
/// left-out part (the body, the bodies nested in it and everything in them).
type Decisions = FxHashMap<LocalDefId, Option<Vec<bool>>>;

struct InterfaceHash<'tcx> {
    tcx: TyCtxt<'tcx>,
    krate: &'tcx rustc_hir::Crate<'tcx>,
    decisions: Decisions,
    /// Non-owner definitions that lowering attached to each owner, with their node.
    children: FxHashMap<LocalDefId, Vec<(LocalDefId, ItemLocalId)>>,
}

impl<'tcx> InterfaceHash<'tcx> {
    fn new(tcx: TyCtxt<'tcx>) -> Self {
        let krate = tcx.hir_crate(());
        let mut decisions = Decisions::default();
        let mut children: FxHashMap<_, Vec<_>> = FxHashMap::default();
        for (def_id, owner) in krate.owners.iter_enumerated() {
            match owner {
                MaybeOwner::Owner(info) => {
                    decisions.insert(def_id, left_out_part(tcx, def_id, info));
                }
                MaybeOwner::NonOwner(hir_id) => children
                    .entry(hir_id.owner.def_id)
                    .or_default()
                    .push((def_id, hir_id.local_id)),
                MaybeOwner::Phantom => {}
            }
        }
        InterfaceHash {
            tcx,
            krate,
            decisions,
            children,
        }
    }

    fn compute(&self) -> (Fingerprint, FxHashSet<CrateNum>) {
        let tcx = self.tcx;
        let expansions = self.numbered_expansions();
        let mut cx = SpanCx::new(tcx);
        let mut h = StableHasher::new();

        for (def_id, owner) in self.krate.owners.iter_enumerated() {
            if let MaybeOwner::Owner(info) = owner {
                self.hash_owner(&mut cx, &mut h, def_id, info);
            }
        }

        cx.mode = SpanMode::Lines;
        let mut upstream: Vec<_> = tcx
            .crates(())
            .iter()
            .map(|&c| (tcx.stable_crate_id(c), tcx.crate_hash(c)))
            .collect();
        upstream.sort_unstable_by_key(|&(id, _)| id);
        upstream.hash(&mut h);

        let source_map = tcx.sess.source_map();
        let mut files: Vec<_> = source_map
            .files()
            .iter()
            .filter(|f| f.cnum == LOCAL_CRATE)
            .map(|f| (f.stable_id, f.src_hash))
            .collect();
        files.sort_unstable_by_key(|&(id, _)| id);
        files
            .iter()
            .map(|&(id, _)| id)
            .collect::<Vec<_>>()
            .hash(&mut h);
        // Debug information of dependents carries these checksums only here.
        // check: `Session::dwarf_version` and `Target::is_like_msvc` in 1.95.
        let sess = tcx.sess;
        if sess.opts.debuginfo != DebugInfo::None
            && (sess.target.is_like_msvc || sess.dwarf_version() >= 5)
        {
            for (_, src_hash) in &files {
                src_hash.hash_stable(&mut cx, &mut h);
            }
        }

        let visualizers: Vec<_> = tcx
            .debugger_visualizers(LOCAL_CRATE)
            .iter()
            .map(DebuggerVisualizerFile::path_erased)
            .collect();
        stock_fingerprint(tcx, true, |hcx, h| visualizers.hash_stable(hcx, h)).hash(&mut h);

        // Definitions in index order, with the positions dependents can observe.
        let mut opaque_params = Vec::new();
        for def_id in tcx.iter_local_def_id() {
            let def_path_hash = tcx.def_path_hash(def_id.to_def_id());
            let in_hir = self
                .krate
                .owners
                .get(def_id)
                .is_some_and(|o| !matches!(o, MaybeOwner::Phantom));
            if !in_hir
                && tcx
                    .opt_local_parent(def_id)
                    .is_some_and(|p| tcx.def_kind(p) == DefKind::OpaqueTy)
            {
                // Created in query order after lowering; their numbers are not stable.
                opaque_params.push(def_path_hash);
                continue;
            }
            def_id.local_def_index.as_u32().hash(&mut h);
            def_path_hash.hash(&mut h);
            if def_id != CRATE_DEF_ID && self.position_observable(def_id) {
                cx.hash_span(tcx.source_span(def_id), &mut h);
            }
        }
        opaque_params.sort_unstable();
        opaque_params.hash(&mut h);

        expansions.len().hash(&mut h);
        for (&number, &expn) in &expansions {
            let data = expn.expn_data();
            number.hash(&mut h);
            data.kind.hash_stable(&mut cx, &mut h);
            data.macro_def_id.hash_stable(&mut cx, &mut h);
            let parent = data.parent;
            (parent.krate == LOCAL_CRATE)
                .then(|| parent.local_id.as_u32())
                .hash(&mut h);
        }

        // Names re-exported from other crates keep byte offsets into those
        // crates' files in this crate's metadata.
        let mut reexports = Vec::new();
        let mut span_crates = FxHashSet::default();
        for def_id in tcx.iter_local_def_id() {
            if tcx.def_kind(def_id) != DefKind::Mod {
                continue;
            }
            for child in tcx.module_children_local(def_id) {
                let span = child.ident.span.data_untracked();
                if child.reexport_chain.is_empty() || span.is_dummy() {
                    continue;
                }
                let file = source_map.lookup_source_file(span.lo);
                if file.cnum == LOCAL_CRATE {
                    continue;
                }
                span_crates.insert(file.cnum);
                reexports.push((
                    tcx.stable_crate_id(file.cnum),
                    file.stable_id,
                    (span.lo - file.start_pos).0,
                    (span.hi - file.start_pos).0,
                ));
            }
        }
        reexports.sort_unstable();
        reexports.hash(&mut h);

        if sess.opts.output_types.should_codegen() {
            let mut symbols: Vec<Fingerprint> = tcx.with_stable_hashing_context(|mut hcx| {
                let non_generic = tcx.exported_non_generic_symbols(LOCAL_CRATE);
                let generic = tcx.exported_generic_symbols(LOCAL_CRATE);
                non_generic
                    .iter()
                    .chain(generic)
                    .map(|symbol| {
                        let mut h = StableHasher::new();
                        symbol.hash_stable(&mut hcx, &mut h);
                        h.finish()
                    })
                    .collect()
            });
            symbols.sort_unstable();
            symbols.hash(&mut h);
        }

        sess.opts.dep_tracking_hash(true).hash(&mut h);
        tcx.stable_crate_id(LOCAL_CRATE).hash(&mut h);
        let visibilities = &tcx.resolutions(()).visibilities_for_hashing;
        stock_fingerprint(tcx, true, |hcx, h| visibilities.hash_stable(hcx, h)).hash(&mut h);
        // check: `freeze_and_get_read_spans` result type; it is hashed with spans by lines.
        rustc_span::with_metavar_spans(|spans| {
            spans
                .freeze_and_get_read_spans()
                .hash_stable(&mut cx, &mut h)
        });

        (h.finish(), span_crates)
    }

    fn hash_owner(
        &self,
        cx: &mut SpanCx<'tcx>,
        h: &mut StableHasher,
        def_id: LocalDefId,
        info: &OwnerInfo<'tcx>,
    ) {
        let tcx = self.tcx;
        let inside = self.decisions[&def_id].as_deref();
        let kept = |id: ItemLocalId| {
            !inside.is_some_and(|v| v.get(id.as_usize()).copied().unwrap_or(false))
        };
        let node = info.node();

        match node {
            OwnerNode::Item(item) if matches!(item.kind, ItemKind::Macro(..)) => {
                cx.mode = SpanMode::Offsets;
                node.hash_stable(cx, h);
            }
            _ if inside.is_some() => {
                cx.mode = SpanMode::Off;
                hash_fn_without_body(cx, h, node);
            }
            _ => {
                cx.mode = SpanMode::Off;
                node.hash_stable(cx, h);
            }
        }

        cx.mode = SpanMode::Lines;
        for &(id, body) in info.nodes.bodies.iter() {
            if kept(id) {
                id.as_u32().hash(h);
                body.hash_stable(cx, h);
            }
        }

        cx.mode = SpanMode::Off;
        // check: HIR attribute slices may be hashable only with the compiler's
        // own context (it filters doc comments and ignored attributes), so they
        // are hashed there, spans off.
        stock_fingerprint(tcx, false, |hcx, h| {
            for &(id, attrs) in info.attrs.map.iter() {
                if kept(id) {
                    id.as_u32().hash(h);
                    attrs.hash_stable(hcx, h);
                }
            }
        })
        .hash(h);
        // check: `AttributeMap::define_opaque` holds the owner's opaque-type definitions.
        info.attrs.define_opaque.hash_stable(cx, h);
        // check: `parenting` is a `LocalDefIdMap` (an `UnordMap`) in 1.95.
        let parenting: Vec<(DefPathHash, u32)> = info
            .parenting
            .to_sorted(&*cx, false)
            .into_iter()
            .filter(|&(_, &parent)| kept(parent))
            .map(|(&child, &parent)| (tcx.def_path_hash(child.to_def_id()), parent.as_u32()))
            .collect();
        parenting.hash(h);
        // check: `trait_map` is an `ItemLocalMap` (an `UnordMap`) in 1.95.
        for (&id, candidates) in info.trait_map.to_sorted_stable_ord() {
            if kept(id) {
                id.as_u32().hash(h);
                candidates.hash_stable(cx, h);
            }
        }
        // check: 1.95's `OwnerInfo` has no list of the definitions lowering made
        // on the side; they are the crate's `NonOwner` entries that point here.
        let mut children: Vec<DefPathHash> = self
            .children
            .get(&def_id)
            .into_iter()
            .flatten()
            .filter(|&&(_, local)| kept(local))
            .map(|&(child, _)| tcx.def_path_hash(child.to_def_id()))
            .collect();
        children.sort_unstable();
        children.hash(h);
        if inside.is_some() {
            // Metadata records the parameter names.
            // check: `fn_arg_idents` (formerly `fn_arg_names`) in 1.95.
            let names: Vec<_> = tcx
                .fn_arg_idents(def_id)
                .iter()
                .map(|i| i.map(|i| i.name))
                .collect();
            names.hash_stable(cx, h);
        }
    }

    /// A definition's position counts unless it lies under an owner whose body
    /// is left out (the owner itself, definitions inside the body, the owner's
    /// lifetime parameters). Decided from the definitions alone, since the
    /// compiler creates definitions after lowering that have no HIR.
    fn position_observable(&self, mut def_id: LocalDefId) -> bool {
        loop {
            if let Some(decision) = self.decisions.get(&def_id) {
                return decision.is_none();
            }
            match self.tcx.opt_local_parent(def_id) {
                Some(parent) => def_id = parent,
                None => return true,
            }
        }
    }

    /// The local expansions behind the tokens of this crate's macro definitions,
    /// with their parents, by number. Metadata refers to them by these numbers.
    fn numbered_expansions(&self) -> BTreeMap<u32, ExpnId> {
        let mut found = BTreeMap::new();
        let mut visit = |span: Span| {
            for (expn, _) in span.ctxt().marks() {
                let mut expn = expn;
                while expn.krate == LOCAL_CRATE && expn != ExpnId::root() {
                    if found.insert(expn.local_id.as_u32(), expn).is_some() {
                        break;
                    }
                    expn = expn.expn_data().parent;
                }
            }
        };
        for owner in self.krate.owners.iter() {
            let Some(info) = owner.as_owner() else {
                continue;
            };
            let OwnerNode::Item(item) = info.node() else {
                continue;
            };
            // check: `ItemKind::Macro(Ident, &MacroDef, MacroKinds)` in 1.95.
            if let ItemKind::Macro(_, def, _) = item.kind {
                visit(def.body.dspan.open);
                visit(def.body.dspan.close);
                visit_token_spans(&def.body.tokens, &mut visit);
            }
        }
        found
    }
}

fn visit_token_spans(tokens: &TokenStream, visit: &mut impl FnMut(Span)) {
    for tree in tokens.iter() {
        match tree {
            TokenTree::Token(token, _) => visit(token.span),
            TokenTree::Delimited(dspan, _, _, inner) => {
                visit(dspan.open);
                visit(dspan.close);
                visit_token_spans(inner, visit);
            }
        }
    }
}

/// Decides whether an owner is a function whose code stays in this crate, and
/// if so which of its HIR nodes form the left-out part.
fn left_out_part<'tcx>(
    tcx: TyCtxt<'tcx>,
    def_id: LocalDefId,
    info: &OwnerInfo<'tcx>,
) -> Option<Vec<bool>> {
    // check: `ItemKind::Fn { sig, ident, generics, body, has_body }` in 1.95.
    let (sig, body) = match info.node() {
        OwnerNode::Item(item) => match item.kind {
            ItemKind::Fn {
                sig,
                body,
                has_body: true,
                ..
            } => (sig, body),
            _ => return None,
        },
        OwnerNode::ImplItem(item) => match item.kind {
            ImplItemKind::Fn(sig, body) => (sig, body),
            _ => return None,
        },
        _ => return None,
    };
    let nodes = &info.nodes.nodes;
    if sig.header.is_const()
        || sig.header.is_async()
        || tcx.coroutine_kind(def_id).is_some()
        || tcx.generics_of(def_id).requires_monomorphization(tcx)
        || tcx.cross_crate_inlinable(def_id)
        // Opaque types are nodes of their owner; a non-generic function can
        // only have them in its return type.
        || nodes.iter().any(|n| matches!(n.node, Node::OpaqueTy(..)))
    {
        return None;
    }

    let mut state: Vec<Option<bool>> = vec![None; nodes.len()];
    state[0] = Some(false);
    let main = info.nodes.bodies.get(&body.hir_id.local_id)?;
    state[body.hir_id.local_id.as_usize()] = Some(true);
    for param in main.params {
        state[param.hir_id.local_id.as_usize()] = Some(true);
    }
    // A node is inside when its chain of parents reaches the body or one of
    // its parameters before the owner.
    for start in 0..nodes.len() {
        let mut path = Vec::new();
        let mut at = start;
        let inside = loop {
            if let Some(known) = state[at] {
                break known;
            }
            path.push(at);
            let parent = nodes[ItemLocalId::from_usize(at)].parent.as_usize();
            if parent >= nodes.len() {
                break false;
            }
            at = parent;
        };
        for at in path {
            state[at] = Some(inside);
        }
    }
    Some(state.into_iter().map(|s| s == Some(true)).collect())
}

/// Everything of a function's item but its body, for an owner with a left-out part.
fn hash_fn_without_body(cx: &mut SpanCx<'_>, h: &mut StableHasher, node: OwnerNode<'_>) {
    match node {
        OwnerNode::Item(item) => {
            if let ItemKind::Fn {
                sig,
                ident,
                generics,
                body: _,
                has_body,
            } = &item.kind
            {
                item.owner_id.hash_stable(cx, h);
                sig.hash_stable(cx, h);
                ident.hash_stable(cx, h);
                generics.hash_stable(cx, h);
                has_body.hash_stable(cx, h);
                item.span.hash_stable(cx, h);
                item.vis_span.hash_stable(cx, h);
                // check: the externally implementable item marker of `hir::Item` in 1.95.
                item.eii.hash_stable(cx, h);
            }
        }
        OwnerNode::ImplItem(item) => {
            if let ImplItemKind::Fn(sig, _) = &item.kind {
                item.ident.hash_stable(cx, h);
                item.owner_id.hash_stable(cx, h);
                item.generics.hash_stable(cx, h);
                sig.hash_stable(cx, h);
                // check: `ImplItem::impl_kind` (inherent or trait, with its visibility span).
                item.impl_kind.hash_stable(cx, h);
                item.span.hash_stable(cx, h);
            }
        }
        _ => unreachable!("only functions have a left-out part"),
    }
}

/// Hashes with the compiler's own hashing context, for types whose stable
/// hashing is implemented for that context only.
fn stock_fingerprint(
    tcx: TyCtxt<'_>,
    hash_spans: bool,
    f: impl FnOnce(&mut StableHashingContext<'_>, &mut StableHasher),
) -> Fingerprint {
    tcx.with_stable_hashing_context(|mut hcx| {
        let mut h = StableHasher::new();
        hcx.while_hashing_spans(hash_spans, |hcx| f(hcx, &mut h));
        h.finish()
    })
}

// ---------------------------------------------------------------------------
// The span-hashing context.

#[derive(Clone, Copy, PartialEq, Eq, Hash)]
enum SpanMode {
    /// Spans contribute nothing.
    Off,
    /// File, lines and columns.
    Lines,
    /// File, lines, columns and byte offsets from the start of the file.
    Offsets,
}

struct SpanCx<'tcx> {
    tcx: TyCtxt<'tcx>,
    mode: SpanMode,
    /// Expansion fingerprints, per expansion and mode.
    expansions: FxHashMap<(ExpnId, SpanMode), Fingerprint>,
}

impl<'tcx> SpanCx<'tcx> {
    fn new(tcx: TyCtxt<'tcx>) -> Self {
        SpanCx {
            tcx,
            mode: SpanMode::Off,
            expansions: FxHashMap::default(),
        }
    }

    fn hash_span(&mut self, span: Span, h: &mut StableHasher) {
        if self.mode == SpanMode::Off {
            return;
        }
        let data = span.data_untracked();
        let marks = data.ctxt.marks();
        marks.len().hash(h);
        for (expn, transparency) in marks {
            self.expansion_fingerprint(expn).hash(h);
            (transparency as u8).hash(h);
        }
        let source_map = self.tcx.sess.source_map();
        let lines = match (
            source_map.lookup_line(data.lo),
            source_map.lookup_line(data.hi),
        ) {
            (Ok(lo), Ok(hi)) if !data.is_dummy() && Arc::ptr_eq(&lo.sf, &hi.sf) => {
                Some((lo, hi.line))
            }
            _ => None,
        };
        let Some((lo, hi_line)) = lines else {
            1u8.hash(h);
            return;
        };
        let file = &lo.sf;
        let column = |line: usize, pos: BytePos| (pos - file.line_bounds(line).start).0;
        0u8.hash(h);
        file.stable_id.hash(h);
        (
            lo.line,
            column(lo.line, data.lo),
            hi_line,
            column(hi_line, data.hi),
        )
            .hash(h);
        if self.mode == SpanMode::Offsets {
            ((data.lo - file.start_pos).0, (data.hi - file.start_pos).0).hash(h);
        }
    }

    /// Zero for the root; for a local expansion the hash of its data with the
    /// parent replaced by the root, then its parent's fingerprint; for another
    /// crate's expansion the hash of its expansion hash from that crate.
    fn expansion_fingerprint(&mut self, expn: ExpnId) -> Fingerprint {
        if expn == ExpnId::root() {
            return Fingerprint::ZERO;
        }
        if let Some(&known) = self.expansions.get(&(expn, self.mode)) {
            return known;
        }
        let mut h = StableHasher::new();
        if expn.krate == LOCAL_CRATE {
            let mut data = expn.expn_data();
            let parent = std::mem::replace(&mut data.parent, ExpnId::root());
            data.hash_stable(self, &mut h);
            self.expansion_fingerprint(parent).hash(&mut h);
        } else {
            expn.expn_hash().hash(&mut h);
        }
        let fingerprint = h.finish();
        self.expansions.insert((expn, self.mode), fingerprint);
        fingerprint
    }
}

// check: the method set of `rustc_span::HashStableContext` in 1.95. This is
// written for the form whose spans are hashed by the context itself
// (`span_hash_stable`); in the older form (`hash_spans`, `def_span`,
// `span_data_to_lines_and_cols`, `hashing_controls`) the same modes have to be
// expressed through those methods.
impl rustc_span::HashStableContext for SpanCx<'_> {
    fn span_hash_stable(&mut self, span: Span, hasher: &mut StableHasher) {
        self.hash_span(span, hasher)
    }

    fn def_path_hash(&self, def_id: DefId) -> DefPathHash {
        self.tcx.def_path_hash(def_id)
    }

    /// Spans are hashed exactly when the mode is not off, and expansions are
    /// hashed only then.
    fn assert_default_hashing_controls(&self, msg: &str) {
        assert!(
            self.mode != SpanMode::Off,
            "kelv: {msg} hashed with spans off"
        );
    }
}

// check: the hashing-context traits that HIR's stable hashing requires in 1.95.
impl rustc_ast::HashStableContext for SpanCx<'_> {}
impl rustc_abi::HashStableContext for SpanCx<'_> {}
impl rustc_target::HashStableContext for SpanCx<'_> {}
impl rustc_hir::HashStableContext for SpanCx<'_> {
    fn hash_attr_id(&mut self, _id: &rustc_hir::HashIgnoredAttrId, _hasher: &mut StableHasher) {}
}

// ---------------------------------------------------------------------------
// The crate hash files beside the metadata.

fn write_crate_hash_files(tcx: TyCtxt<'_>, svh: Svh, span_crates: &FxHashSet<CrateNum>) {
    let OutFileName::Real(rmeta) = tcx.output_filenames(()).path(OutputType::Metadata) else {
        return;
    };
    let write = |extension: &str, text: String| {
        let path = rmeta.with_extension(extension);
        if let Err(err) = std::fs::write(&path, text) {
            // check: `DiagCtxtHandle::fatal` returns `!` in 1.95.
            tcx.dcx()
                .fatal(format!("kelv: cannot write {}: {}", path.display(), err));
        }
    };
    write("kelv-svh", format!("{svh}\n"));

    let mut paths = BTreeSet::new();
    for &cnum in span_crates {
        // check: the `rlib`, `rmeta` and `dylib` fields of `CrateSource` in 1.95.
        let source = tcx.used_crate_source(cnum);
        for (path, _) in [&source.rmeta, &source.rlib, &source.dylib]
            .into_iter()
            .flatten()
        {
            paths.insert(path.to_string_lossy().into_owned());
        }
    }
    write(
        "kelv-span-deps",
        paths.into_iter().map(|p| p + "\n").collect(),
    );
}
